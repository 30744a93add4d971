// kovel-regsvr against the runtime's test plug-in, in a private registry.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kovel/com.h"
#include "kovel/registry.h"
#include "test_plugin_ids.h"

namespace {

struct ToolRun {
    int status;
    std::string output;
};

// Runs the tool with the given arguments (in `folder`, if given), stdout and stderr together.
ToolRun RunTool(const std::string& args, const std::string& folder = {}) {
    std::string cmd = (folder.empty() ? "" : "cd " + folder + " && ") + REGSVR_PATH + " " + args + " 2>&1";
    ToolRun r{-1, {}};
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p)) r.output.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string ServerKey() {
    OLECHAR wide[39];
    StringFromGUID2(CLSID_TestWidget, wide, 39);
    std::string key = "CLSID\\";
    for (int i = 0; i < 38; ++i) key.push_back(char(wide[i]));
    return key + "\\InprocServer32";
}

std::string ReadDefault(const std::string& key) {
    HKEY h = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, key.c_str(), &h) != ERROR_SUCCESS)
        return "<no key>";
    char buf[4096];
    DWORD size = sizeof buf;
    LSTATUS st = RegQueryValueExA(h, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(h);
    return st == ERROR_SUCCESS ? std::string(buf) : "<no value>";
}

class RegsvrTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kovel-regsvr-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("KOVEL_REGISTRY", (dir_ + "/registry.db").c_str(), 1);
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    std::string dir_;
};

TEST_F(RegsvrTest, RegistersAndUnregistersThePlugin) {
    ToolRun reg = RunTool(TEST_PLUGIN_PATH);
    EXPECT_EQ(reg.status, 0) << reg.output;
    EXPECT_NE(reg.output.find("DllRegisterServer: 0x00000000 (S_OK)"), std::string::npos) << reg.output;
    char real[4096];
    ASSERT_NE(realpath(TEST_PLUGIN_PATH, real), nullptr);
    EXPECT_EQ(ReadDefault(ServerKey()), real);

    // The registered class is now creatable by id.
    IUnknown* u = nullptr;
    ASSERT_EQ(
        CoCreateInstance(CLSID_TestWidget, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&u)),
        S_OK);
    u->Release();
    CoFreeUnusedLibraries();

    ToolRun unreg = RunTool("-u " TEST_PLUGIN_PATH);
    EXPECT_EQ(unreg.status, 0) << unreg.output;
    EXPECT_NE(unreg.output.find("DllUnregisterServer: 0x00000000 (S_OK)"), std::string::npos) << unreg.output;
    EXPECT_EQ(ReadDefault(ServerKey()), "<no key>");

    // A second unregistration fails, and says so in its exit status.
    ToolRun again = RunTool("-u " TEST_PLUGIN_PATH);
    EXPECT_EQ(again.status, 1) << again.output;
    EXPECT_NE(again.output.find("0x80070002"), std::string::npos) << again.output;
}

TEST_F(RegsvrTest, MissingLibraryOrEntryPointIsReported) {
    ToolRun missing = RunTool(dir_ + "/no-such-library.so");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("cannot load"), std::string::npos) << missing.output;
    EXPECT_NE(missing.output.find("No such file"), std::string::npos)
        << "the loader's reason: " << missing.output;

    ToolRun noEntry = RunTool(COM_LIBRARY_PATH);
    EXPECT_EQ(noEntry.status, 1);
    EXPECT_NE(noEntry.output.find("DllRegisterServer"), std::string::npos) << noEntry.output;

    ToolRun none = RunTool("");
    EXPECT_EQ(none.status, 2) << "no library named";
    EXPECT_NE(none.output.find("usage: kovel-regsvr"), std::string::npos) << none.output;
    EXPECT_EQ(RunTool("-x lib.so").status, 2);
    EXPECT_EQ(RunTool("--destdir").status, 2);
}

TEST_F(RegsvrTest, StagedLibraryIsRegisteredUnderItsInstalledPath) {
    // A package build stages the plug-in under DESTDIR; users load it from the final place.
    const std::string staged = dir_ + "/stage/opt/kovel/lib/kovel";
    ASSERT_EQ(
        std::system(("mkdir -p " + staged + " && cp " TEST_PLUGIN_PATH " " + staged + "/plugin.so").c_str()),
        0);
    ToolRun reg = RunTool("--destdir " + dir_ + "/stage /opt/kovel/lib/kovel/plugin.so");
    EXPECT_EQ(reg.status, 0) << reg.output;
    EXPECT_EQ(ReadDefault(ServerKey()), "/opt/kovel/lib/kovel/plugin.so");
    EXPECT_EQ(RunTool("--destdir " + dir_ + "/stage relative/plugin.so").status, 2);

    // A plug-in named relative to the current folder (one that registers the
    // name it was loaded by) is registered under its absolute path.
    ASSERT_EQ(std::system(("cp " STUBCAST_PATH " " + staged + "/stub.so").c_str()), 0);
    ToolRun relative = RunTool("./stub.so", staged);
    ASSERT_EQ(relative.status, 0) << relative.output;
    char real[4096];
    ASSERT_NE(realpath((staged + "/stub.so").c_str(), real), nullptr);
    EXPECT_EQ(ReadDefault("CLSID\\{E87F8AB8-DC1B-4081-B2A6-FC52FB5BC527}\\InprocServer32"), real);
}

}  // namespace
