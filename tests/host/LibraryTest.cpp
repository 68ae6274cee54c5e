// Checks of the built shared library itself, loaded as a host loads it.
#include "support/FakeHost.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <memory>
#include <sstream>

namespace {

std::string RunCommand(const std::string& command)
{
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return out;
    }
    std::array<char, 4096> buf{};
    while (std::fgets(buf.data(), buf.size(), pipe.get()) != nullptr) {
        out += buf.data();
    }
    return out;
}

class CLoadedLibrary {
public:
    CLoadedLibrary() : m_handle(dlopen(CORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    ~CLoadedLibrary()
    {
        if (m_handle != nullptr) {
            dlclose(m_handle);
        }
    }
    PFN_KVServerStart Start() const
    {
        return m_handle == nullptr ? nullptr
                                   : reinterpret_cast<PFN_KVServerStart>(dlsym(m_handle, KV_SERVER_START_NAME));
    }

private:
    void* m_handle;
};

TEST(Library, ExportsOnlyTheEntryPoint)
{
    const std::string out = RunCommand(std::string(CORVANE_NM) + " -D --defined-only " + CORVANE_LIBRARY_PATH);
    std::istringstream lines(out);
    std::vector<std::string> names;
    std::string line;
    while (std::getline(lines, line)) {
        names.push_back(line.substr(line.rfind(' ') + 1));
    }
    EXPECT_EQ(names, std::vector<std::string>{"KVServerStart"}) << out;
}

TEST(Library, StartsWithAndWithoutANotifier)
{
    CLoadedLibrary library;
    const PFN_KVServerStart start = library.Start();
    ASSERT_NE(start, nullptr) << dlerror();

    CFakeHost host;
    EXPECT_EQ(host.Start(start), 0);
    EXPECT_EQ(host.Calls(),
              (std::vector<std::string>{"GetServiceManager", "GetTimerManager", "RegisterService 4455",
                                        "AddTimer 1000", "GetUserNotifier", "AddHandler", "RegisterModule"}));
    ASSERT_EQ(host.modules.size(), 1u);
    EXPECT_EQ(host.modules[0]->GetModuleId(), 99) << "only the EasyDemo module is registered";

    CFakeHost bare;
    bare.offerNotifier = false;
    EXPECT_EQ(bare.Start(start), 0);
    EXPECT_EQ(bare.services.size(), 1u);
    EXPECT_EQ(bare.timers.size(), 1u);
    EXPECT_TRUE(bare.notifyHandlers.empty());

    // A second start registers the same objects again.
    EXPECT_EQ(host.Start(start), 0);
    ASSERT_EQ(host.services.size(), 2u);
    EXPECT_EQ(host.services[0].second, host.services[1].second);
    EXPECT_EQ(host.timers[0].first, host.timers[1].first);
}

TEST(Library, RefusesAHostWithoutItsManagers)
{
    CLoadedLibrary library;
    const PFN_KVServerStart start = library.Start();
    ASSERT_NE(start, nullptr);
    for (int missing = 0; missing < 2; ++missing) {
        CFakeHost host;
        (missing == 0 ? host.offerServices : host.offerTimers) = false;
        EXPECT_EQ(start(&host), -1);
        EXPECT_TRUE(host.services.empty());
        EXPECT_TRUE(host.timers.empty());
        EXPECT_TRUE(host.notifyHandlers.empty());
    }
    EXPECT_EQ(start(nullptr), -1);
}

TEST(Library, ServesTheGameThroughTheContextGivenToInit)
{
    CLoadedLibrary library;
    CFakeHost host;
    ASSERT_EQ(host.Start(library.Start()), 0);
    EXPECT_TRUE(host.services.at(0).second->Uninit(nullptr));
    host.Login(3);
    EXPECT_TRUE(host.Deliver(3, Message(99, 1)));
    const std::vector<SSent> sent = host.Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0].bytes), "63 00 01 00 00 00 00 00 14 00 14 00");
    EXPECT_EQ(sent[0].recipients, std::vector<uint32_t>{3});
    EXPECT_FALSE(host.Deliver(3, Message(501, 9)));
}

} // namespace
