// Automation objects in other processes: programs started for a class
// (LocalServer32) and live objects published by a running program under a
// ProgID (a page program's debug object while it runs under a debugger).
//
// Calls. The caller holds a proxy that answers IUnknown and IDispatch only;
// GetIDsOfNames and Invoke travel over a Unix stream socket and the serving
// process calls the real object's IDispatch. GetTypeInfoCount answers 0.
// Everything of an Invoke crosses: the arguments (every variant type of the
// runtime, one-dimensional byte and variant arrays with their lower bound,
// strings with embedded NULs), named arguments, flags, the result,
// EXCEPINFO (all fields), the argument-error index, the result code, and
// error information the object set with SetErrorInfo, which is set again on
// the calling thread (so both conventions, DISP_E_EXCEPTION + EXCEPINFO and
// a failure code + IErrorInfo, reach the caller unchanged; when the object
// set none, the calling thread's error information is cleared).
// By-reference arguments are in-out: their values go over, and their new
// values come back into the caller's storage (old strings and arrays
// freed). Interface pointers never cross: a non-null VT_DISPATCH or
// VT_UNKNOWN argument fails with DISP_E_TYPEMISMATCH (*arg_error names it),
// and so does a call whose result is one; a null pointer ("Nothing")
// crosses as such.
//
// Blocking and dead peers. A call waits without time-out while the object
// works (it may show a modal dialog for minutes). When the serving process
// dies or closes the connection, the call fails at once with
// RPC_E_DISCONNECTED, and so does every later call on that proxy. Writing
// to a dead peer never raises SIGPIPE.
//
// Size. One message (a call with its arguments, a reply with its result and
// outs) is at most kMaxMessageBytes on the wire, and carries at most about
// two million array elements. A call or result beyond that is not sent:
// the call fails with E_OUTOFMEMORY. The serving side reads a message only
// as its bytes arrive, and a publication gives each message
// PublishOptions::stalled_client_ms from its first byte to its last.
//
// Threads. A proxy may be called from any thread; calls on one proxy are
// sent one at a time. The serving side calls the object only on the thread
// that runs its loop (ProcessPending / Serve), one call at a time.
//
// Endpoints and who may call (published objects):
//  - The endpoint is the socket "<dir>/<ProgID>.sock" in an owner-only
//    directory: $QUILLON_RUNTIME_DIR when set, else $XDG_RUNTIME_DIR/quillon,
//    else /tmp/quillon-<uid>. The directory is created with mode 0700 and
//    then checked with lstat: it must be a real directory (no symbolic
//    link), owned by the effective user, with no group or other access;
//    anything else is refused (E_ACCESSDENIED), so another user cannot plant
//    a directory or a socket for us.
//  - A ProgID is 1 to 80 characters of letters, digits, '.', '_' and '-'.
//  - Every connecting peer is checked with SO_PEERCRED: only the effective
//    user and users named in PublishOptions::allow_users or in
//    $QUILLON_ALLOW_USERS (comma-separated names or numeric uids) are
//    served; anyone else receives E_ACCESSDENIED and nothing is called.
//  - Named users cannot enter the owner-only directory (the web server's
//    CGI child runs as another user). When any user is named, the
//    publication also listens on the Linux abstract socket
//    "\0quillon/<ProgID>", which any local user can reach; the SO_PEERCRED
//    check above still decides who is served. Because anyone can also bind
//    an abstract name first, the connecting side checks the *server's*
//    SO_PEERCRED and talks only to a server it trusts (ConnectOptions:
//    by default itself, root and the users named in $QUILLON_TRUST_USERS);
//    an endpoint served by anyone else counts as nothing published and is
//    sent nothing. Root is trusted because it can read any process's memory
//    anyway. A squatter can still make the publication fail
//    (CO_E_ALREADY_PUBLISHED): a denial, never a leak.
//  - A publisher that died (killed under the debugger) leaves its socket
//    file behind. Callers meet nobody listening there and treat it as
//    nothing published; the next publication of the name, by the same user,
//    replaces it. Only a socket of the effective user that nobody listens
//    on is replaced; anything else under the name is left alone.
//
// The registry's functions reach publications too: CLSIDFromProgID of a
// ProgID the registry does not know, while a publication serves it, gives a
// class identity derived from the name (a version-8 UUID, the same for the
// same name), and CoGetClassObject / CoCreateInstance with
// CLSCTX_LOCAL_SERVER (or CLSCTX_ALL) on that identity connect to the
// publication. CreateObjectByProgId does the same in one step.
//
// Started programs (LocalServer32): CoGetClassObject / CoCreateInstance
// with CLSCTX_LOCAL_SERVER (or CLSCTX_ALL for a class without
// InprocServer32) start the registered command line (program path,
// possibly in double quotes, then arguments) with "-Embedding" appended,
// standard input and output on /dev/null, no other descriptors open but
// one end of a socket pair whose number is in $QUILLON_EMBEDDING_FD. The
// program answers with ServeClassObject; a program that exits first gives
// CO_E_SERVER_EXEC_FAILURE. Every class object is single-use: each
// creation starts its own process, and the process is told to end when the
// caller releases the object. Started processes are reaped.
#ifndef QUILLON_COMPONENT_REMOTE_H_
#define QUILLON_COMPONENT_REMOTE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/component/interfaces.h"
#include "quillon/component/types.h"

namespace quillon::com {

// The serving process died or hung up.
inline constexpr HRESULT RPC_E_DISCONNECTED = MakeHresult(0x80010108);
inline constexpr HRESULT CO_E_OBJNOTCONNECTED = MakeHresult(0x800401FD);
// Another live publication already holds the ProgID.
inline constexpr HRESULT CO_E_ALREADY_PUBLISHED = MakeHresult(0x800700B7);
// A serving loop was entered again while it was serving a call.
inline constexpr HRESULT RPC_E_SERVERCALL_RETRYLATER = MakeHresult(0x8001010A);

// The environment variable that carries a started program's socket.
inline constexpr char kEmbeddingFdVariable[] = "QUILLON_EMBEDDING_FD";

// The largest message on the wire (see "Size" above).
inline constexpr uint32_t kMaxMessageBytes = uint32_t{256} << 20;

// --- Calling side ------------------------------------------------------------------

// Whose endpoints a caller talks to.
struct ConnectOptions {
  // Servers running as the caller's own user. Off for a caller whose user
  // others share (a web server's CGI child: any other program the web
  // server runs could publish first); root stays trusted then unless it is
  // the caller's own user.
  bool trust_own_user = true;
  // Users besides those of $QUILLON_TRUST_USERS (names or numeric uids).
  std::vector<std::string> trust_users;
};

// Connects to the object published under `progid` (see above for where it
// is looked for and who is trusted). Results: S_OK and *object = a proxy;
// CO_E_CLASSSTRING when nothing is published under the name (or nobody
// listens any more); E_ACCESSDENIED when the publication refused us, or
// when the only endpoints under the name are served by users we do not
// trust; E_INVALIDARG for a malformed ProgID.
QUILLON_RUNTIME_API HRESULT ConnectToPublishedObject(std::u16string_view progid,
                                                     IDispatch** object);
QUILLON_RUNTIME_API HRESULT ConnectToPublishedObject(std::u16string_view progid,
                                                     const ConnectOptions& options,
                                                     IDispatch** object);

// What a script's CreateObject does: a live publication under `progid`
// first, else the registry ("{clsid}" or a registered ProgID, then
// CoCreateInstance with CLSCTX_ALL as IDispatch). An access refusal by a
// publication is returned as such, never hidden by the fallback. An
// endpoint served by an untrusted user counts as nothing published:
// creation goes on to the registry, and only when the registry does not
// know the name either is the answer E_ACCESSDENIED.
QUILLON_RUNTIME_API HRESULT CreateObjectByProgId(std::u16string_view progid, IDispatch** object);
QUILLON_RUNTIME_API HRESULT CreateObjectByProgId(std::u16string_view progid,
                                                 const ConnectOptions& options, IDispatch** object);

// Starts `command_line` for `clsid` as described above and returns the
// program's class object (a proxy answering IClassFactory; its
// CreateInstance hands out the object once). Used by CoGetClassObject.
QUILLON_RUNTIME_API HRESULT StartLocalServer(const std::string& command_line, REFCLSID clsid,
                                             IClassFactory** factory);

// Splits a LocalServer32 command line: words separated by spaces or tabs,
// double quotes group (and are removed). Empty for an empty line.
QUILLON_RUNTIME_API std::vector<std::string> SplitCommandLine(std::string_view command_line);

// --- Serving side: started programs ---------------------------------------------------

// True when the arguments hold "-Embedding" or "/Embedding" (or
// "Automation"), the platform's start of a program for a client.
QUILLON_RUNTIME_API bool IsEmbeddingStart(int argc, const char* const* argv);

// The connection of a started program to the client that started it.
class QUILLON_RUNTIME_API EmbeddingServer {
 public:
  // Takes over the socket named by $QUILLON_EMBEDDING_FD. E_UNEXPECTED when
  // the program was not started by the platform.
  static HRESULT FromEnvironment(std::unique_ptr<EmbeddingServer>* server);
  // Over an explicit socket (taken over).
  explicit EmbeddingServer(int fd);
  ~EmbeddingServer();
  EmbeddingServer(const EmbeddingServer&) = delete;
  EmbeddingServer& operator=(const EmbeddingServer&) = delete;

  // Publishes the class object (AddRef'ed and kept) and tells the client
  // that the program is ready.
  HRESULT ServeClassObject(REFCLSID clsid, IClassFactory* factory);

  // For an event loop: the socket to watch for reading.
  int fd() const;
  // Reads and serves one message (blocking until one arrives). S_OK when
  // served, S_FALSE once the client is gone (then finished() is true and
  // the object has been released). Not re-entrant: called again while a
  // call is being served (from a modal dialog's nested event loop) it
  // returns RPC_E_SERVERCALL_RETRYLATER at once without reading. A watcher
  // (QSocketNotifier) should be disabled while this runs and enabled again
  // afterwards unless finished(): otherwise a client that hangs up during a
  // long call keeps the socket readable and the nested loop spins.
  HRESULT ProcessPending();
  bool finished() const;
  // ProcessPending until finished.
  void Serve();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The whole life of a started program's server in one call: FromEnvironment,
// ServeClassObject, Serve. Returns when the client is gone (S_OK), or the
// failure of the first two steps.
QUILLON_RUNTIME_API HRESULT RunLocalServer(REFCLSID clsid, IClassFactory* factory);

// Writes the class keys of a program's class: CLSID\{clsid}\LocalServer32 =
// `program_path` (made absolute), CLSID\{clsid}\ProgID = `progid`,
// <progid>\CLSID = {clsid}, display names. Results as for
// RegisterComponentLibrary.
QUILLON_RUNTIME_API HRESULT RegisterLocalServer(const std::string& program_path, REFCLSID clsid,
                                                const std::string& progid,
                                                const std::string& display_name);

// --- Serving side: published objects ----------------------------------------------------

struct PublishOptions {
  // Users besides ourselves who may call: names or numeric uids. Added to
  // those of $QUILLON_ALLOW_USERS.
  std::vector<std::string> allow_users;
  // Serve calls on a thread of the publication's own (the object must then
  // bear calls from that thread). Otherwise the publishing program serves
  // them by calling ProcessPending / Serve.
  bool serve_on_thread = false;
  // How long one message of a client (from its first byte to its last), or
  // the taking of one answer, may hold up the serving loop before the
  // client is dropped. Between messages a client may stay silent.
  int stalled_client_ms = 10000;
};

// A live publication; destroying it withdraws the endpoint, hangs up on
// connected clients and releases the object.
class QUILLON_RUNTIME_API Publication {
 public:
  ~Publication();
  Publication(const Publication&) = delete;
  Publication& operator=(const Publication&) = delete;

  // For an event loop: one descriptor that becomes readable when a
  // connection or a call waits (an epoll descriptor). Calls are served one
  // at a time on the serving thread; a client whose message (or the taking
  // of its answer) takes longer than PublishOptions::stalled_client_ms is
  // dropped.
  int fd() const;
  // Accepts waiting connections and serves at most one waiting message,
  // waiting up to `timeout_ms` (-1: without limit) for something to do.
  // Not re-entrant (a nested call returns at once).
  void ProcessPending(int timeout_ms = 0);
  // Serves until Withdraw is called (from another thread or a call).
  void Serve();
  // Stops Serve and closes the endpoint; the destructor does it too.
  void Withdraw();
  // The filesystem endpoint (for messages).
  const std::string& path() const;

  struct State;
  explicit Publication(std::unique_ptr<State> state);

 private:
  friend HRESULT PublishObject(std::u16string_view, IDispatch*, const PublishOptions&,
                               std::unique_ptr<Publication>*);
  std::unique_ptr<State> state_;
};

// Publishes `object` under `progid`, replacing the stale endpoint of a
// publisher of ours that died. Failures: E_INVALIDARG (malformed ProgID,
// unknown user name), E_ACCESSDENIED (unsafe runtime directory, or
// something else than a socket of ours under the name),
// CO_E_ALREADY_PUBLISHED (a live publication holds the name), E_FAIL (a
// socket could not be made).
QUILLON_RUNTIME_API HRESULT PublishObject(std::u16string_view progid, IDispatch* object,
                                          const PublishOptions& options,
                                          std::unique_ptr<Publication>* publication);

// The owner-only directory of endpoints (created and checked as above);
// E_ACCESSDENIED when it is unsafe.
QUILLON_RUNTIME_API HRESULT RuntimeDirectory(std::string* dir);

}  // namespace quillon::com

#endif  // QUILLON_COMPONENT_REMOTE_H_
