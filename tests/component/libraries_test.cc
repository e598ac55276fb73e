// Both component libraries as a user meets them: registered with qreg in a
// private registry, created by either ProgID or by CLSID, unregistered.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "quillon/component/com_ptr.h"
#include "quillon/client/identities.h"
#include "quillon/server/identities.h"
#include "quillon/component/runtime.h"

namespace quillon::com {
namespace {

int RunQreg(const std::string& args, std::string* output = nullptr) {
  std::string command = std::string(QREG_PROGRAM) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  std::string out;
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  int status = pclose(pipe);
  if (output != nullptr) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether Qt is mapped into this process.
bool MapsGuiToolkit() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("libQt6Core") != std::string::npos) return true;
  }
  return false;
}

class LibrariesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("quillon-libraries-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    setenv("QUILLON_REGISTRY", (dir_ / "registry").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUILLON_REGISTRY");
    std::filesystem::remove_all(dir_);
  }

  static bool Creatable(const char16_t* progid) {
    CLSID clsid{};
    if (Failed(CLSIDFromProgID(progid, &clsid))) return false;
    ComPtr<IDispatch> object;
    return Succeeded(
               CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                object.put_void())) &&
           object;
  }

  std::filesystem::path dir_;
};

TEST_F(LibrariesTest, RegisterCreateByBothProgIdsAndUnregister) {
  std::string out;
  ASSERT_EQ(RunQreg(std::string("register ") + QSERVER_LIBRARY, &out), 0) << out;
  ASSERT_EQ(RunQreg(std::string("register ") + QCLIENT_LIBRARY, &out), 0) << out;
  ASSERT_EQ(RunQreg("query QServer.QServer", &out), 0) << out;
  EXPECT_NE(out.find("{92B7D145-934B-11D2-A69F-00A0C93ED440}"), std::string::npos) << out;

  EXPECT_TRUE(Creatable(ids::kProgIdQServer));
  EXPECT_TRUE(Creatable(ids::kProgIdQServerIndependent));
  EXPECT_TRUE(Creatable(ids::kProgIdQHtmlDoc));
  EXPECT_TRUE(Creatable(ids::kProgIdQHtmlDocIndependent));
  EXPECT_TRUE(Creatable(ids::kProgIdHtmlTag));
  EXPECT_TRUE(Creatable(ids::kProgIdHtmlTags));
  EXPECT_TRUE(Creatable(ids::kProgIdQClient));
  // What a CGI program uses maps no GUI toolkit; the property pages are
  // objects of the desktop library, loaded when one is created.
  EXPECT_FALSE(MapsGuiToolkit());
  for (const CLSID* clsid : {&ids::CLSID_QServerPropPage, &ids::CLSID_QHtmlDocPropPage,
                             &ids::CLSID_QClientPropPage}) {
    ComPtr<IPropertyPage> page;
    EXPECT_EQ(CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                               page.put_void()),
              S_OK)
        << FormatGuid(*clsid);
    PROPPAGEINFO info{};
    EXPECT_EQ(page->GetPageInfo(&info), S_OK);
    EXPECT_NE(info.pszTitle, nullptr);
    CoTaskMemFree(info.pszTitle);
  }
  EXPECT_TRUE(MapsGuiToolkit());

  ASSERT_EQ(RunQreg(std::string("unregister ") + QSERVER_LIBRARY, &out), 0) << out;
  ASSERT_EQ(RunQreg(std::string("unregister ") + QCLIENT_LIBRARY, &out), 0) << out;
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(ids::kProgIdQServer, &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(ids::kProgIdQServerIndependent, &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(ids::kProgIdQClient, &clsid), CO_E_CLASSSTRING);
  ComPtr<IUnknown> gone;
  EXPECT_EQ(CoCreateInstance(ids::CLSID_QServer, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             gone.put_void()),
            REGDB_E_CLASSNOTREG);
  EXPECT_NE(RunQreg("query QServer.QServer.3", &out), 0);
}

}  // namespace
}  // namespace quillon::com
