"""Text through the automation boundary, measured from the Python host.

URLEncode/URLDecode of a QServer object on 1 MiB of ASCII and of Japanese
text, side by side with libcurl's curl_easy_escape/curl_easy_unescape
(through ctypes) and urllib.parse.quote/unquote, each called the same way:
a str in, a str out. Then a 16 MiB Result property set and read back.

Rates are MB/s (10**6 bytes) of the plain text's UTF-8 form, so every
column of a row divides the same number of bytes; the median of several
runs counts. Time is wall-clock time, which counts what page faults cost
on a virtual machine; CLOCK=thread measures the calling thread's CPU time
instead (less disturbed by other processes on a shared machine). The page
faults of the calling thread per call are printed beside each rate. Run by
boundary_text.sh, which prepares the registry and the code page:
python3 boundary_text.py <build-dir>.
"""

import ctypes
import ctypes.util
import os
import resource
import statistics
import sys
import time
import urllib.parse

BUILD = os.path.abspath(sys.argv[1])
sys.path.insert(0, os.path.join(BUILD, "python"))
import quillon  # noqa: E402  (the module of the build tree)

MIB = 1 << 20
URL_SIZE = int(os.environ.get("URL_MIB", "1")) * MIB
PROPERTY_SIZE = int(os.environ.get("PROPERTY_MIB", "16")) * MIB
RUNS = int(os.environ.get("RUNS", "7"))


def make_text(pieces, size):
    """About `size` UTF-8 bytes cycling through `pieces`."""
    out, total, i = [], 0, 0
    while total < size:
        piece = pieces[i % len(pieces)]
        out.append(piece)
        total += len(piece.encode())
        i += 1
    return "".join(out)


ASCII_PIECES = ["name=Quillon toolkit", " <td class=\"cell\">", "42", " & more; ",
                "a/b/c.html?x=1", " Lorem ipsum dolor sit amet, ", "(100%)", "\r\n"]
JAPANESE_PIECES = ["指定されたＣＧＩパラメータは存在しません。", "日本語のテキスト",
                   "ｶﾀｶﾅ", "データベース", "東京都", "、", "「値」"]


CLOCK = time.thread_time if os.environ.get("CLOCK") == "thread" else time.perf_counter


def faults():
    usage = resource.getrusage(resource.RUSAGE_THREAD)
    return usage.ru_minflt + usage.ru_majflt


def median(fn, arg, runs=RUNS):
    """The median time of `runs` calls, the last result and the calling
    thread's page faults per call."""
    result, times = None, []
    first_faults = faults()
    for _ in range(runs):
        start = CLOCK()
        result = fn(arg)
        times.append(CLOCK() - start)
    return statistics.median(times), result, (faults() - first_faults) / runs


class Curl:
    def __init__(self):
        name = ctypes.util.find_library("curl") or "libcurl.so.4"
        lib = ctypes.CDLL(name)
        lib.curl_easy_init.restype = ctypes.c_void_p
        lib.curl_easy_escape.restype = ctypes.c_void_p
        lib.curl_easy_escape.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        lib.curl_easy_unescape.restype = ctypes.c_void_p
        lib.curl_easy_unescape.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int,
                                           ctypes.POINTER(ctypes.c_int)]
        lib.curl_free.argtypes = [ctypes.c_void_p]
        lib.curl_easy_cleanup.argtypes = [ctypes.c_void_p]
        self.lib, self.handle = lib, lib.curl_easy_init()

    def escape(self, text):
        data = text.encode()
        p = self.lib.curl_easy_escape(self.handle, data, len(data))
        try:
            return ctypes.string_at(p).decode()
        finally:
            self.lib.curl_free(p)

    def unescape(self, text):
        data = text.encode()
        length = ctypes.c_int()
        p = self.lib.curl_easy_unescape(self.handle, data, len(data), ctypes.byref(length))
        try:
            return ctypes.string_at(p, length.value).decode()
        finally:
            self.lib.curl_free(p)


def rate(size, seconds):
    return size / seconds / 1e6


def main():
    page = os.environ.get("QUILLON_CODEPAGE", "65001")
    srv = quillon.CreateObject("QServer.QServer")
    quillon.LoadFromPropertyBag(srv)  # offline-debug start: no request is read
    curl = Curl()
    verdicts = []

    clock = "wall-clock" if CLOCK is time.perf_counter else "thread CPU"
    print(f"code page {page}; URL texts {URL_SIZE / MIB:.0f} MiB, property {PROPERTY_SIZE / MIB:.0f} "
          f"MiB of UTF-8; median of {RUNS}, {clock} time; MB/s, then page faults per call")
    print(f"{'':22s} {'QServer':>9s} {'libcurl':>9s} {'urllib':>9s} {'vs curl':>8s} {'vs urllib':>9s}"
          f" {'faults':>7s} {'curl':>6s} {'urllib':>6s}")
    for label, pieces in (("ASCII", ASCII_PIECES), ("Japanese", JAPANESE_PIECES)):
        text = make_text(pieces, URL_SIZE)
        size = len(text.encode())
        t_ours, encoded, f_ours = median(srv.URLEncode, text)
        t_curl, curl_encoded, f_curl = median(curl.escape, text)
        t_py, py_encoded, f_py = median(urllib.parse.quote, text)
        t_ours_d, decoded, f_ours_d = median(srv.URLDecode, encoded)
        t_curl_d, curl_decoded, f_curl_d = median(curl.unescape, curl_encoded)
        t_py_d, py_decoded, f_py_d = median(urllib.parse.unquote, py_encoded)
        assert decoded == text, f"{label}: URLDecode(URLEncode(text)) differs"
        assert curl_decoded == text and py_decoded == text
        for name, ours, theirs, python, counts in (
                ("URLEncode", t_ours, t_curl, t_py, (f_ours, f_curl, f_py)),
                ("URLDecode", t_ours_d, t_curl_d, t_py_d, (f_ours_d, f_curl_d, f_py_d))):
            print(f"{name + ' ' + label:22s} {rate(size, ours):9.0f} {rate(size, theirs):9.0f} "
                  f"{rate(size, python):9.0f} {theirs / ours:7.1f}x {python / ours:8.1f}x "
                  + " ".join(f"{count:{w}.0f}" for count, w in zip(counts, (7, 6, 6))))
            verdicts.append((f"{name} {label} >= 2x libcurl", theirs / ours >= 2))
            if label == "Japanese":
                verdicts.append((f"{name} {label} >= 400 MB/s", rate(size, ours) >= 400))

    for label, pieces, target in (("ASCII", ASCII_PIECES, 1000),
                                  ("Japanese", JAPANESE_PIECES, 400)):
        text = make_text(pieces, PROPERTY_SIZE)
        size = len(text.encode())

        def put(value):
            srv.Result = value

        def get(_):
            return srv.Result

        t_put, _, f_put = median(put, text)
        t_get, back, f_get = median(get, None)
        assert back == text, f"{label}: Result read back differs"
        for name, seconds, count in (("Result set", t_put, f_put), ("Result read", t_get, f_get)):
            print(f"{name + ' ' + label:22s} {rate(size, seconds):9.0f} {'':9s} {'':9s}"
                  f"   ({seconds * 1e3:.1f} ms, {count:.0f} faults per call)")
            verdicts.append((f"{name} {label} >= {target} MB/s", rate(size, seconds) >= target))
        srv.Result = ""

    srv._release()
    print("targets: " + "; ".join(f"{name}: {'met' if ok else 'MISSED'}" for name, ok in verdicts))


if __name__ == "__main__":
    main()
