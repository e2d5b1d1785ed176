// The host stand-in's registry of services and events, its PluginLink table, waiting for
// records, and plug-in loading.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "hostsim/host.h"
#include "support/support.h"

namespace {

using hostsim::Handle;
using hostsim::Host;

// Plain functions, as a plug-in hands them through the PluginLink table.
std::vector<int> plain_calls;
INT_PTR plain_service(WPARAM w, LPARAM l) { return static_cast<INT_PTR>(w + l); }
INT_PTR plain_hook_a(WPARAM, LPARAM) {
  plain_calls.push_back(1);
  return 0;
}
INT_PTR plain_hook_b(WPARAM, LPARAM) {
  plain_calls.push_back(2);
  return 0;
}

class RegistryTest : public ::testing::Test {
 protected:
  Host host;
  const PluginLink& link = *host.plugin_link();
};

TEST_F(RegistryTest, ServicesThroughThePluginLink) {
  EXPECT_NE(link.CreateServiceFunction("Test/Add", plain_service), nullptr);
  EXPECT_NE(link.ServiceExists("Test/Add"), 0);
  EXPECT_EQ(link.CallService("Test/Add", 40, 2), 42);
  EXPECT_EQ(link.ServiceExists("Test/Missing"), 0);
  EXPECT_EQ(link.CallService("Test/Missing", 0, 0), Host::CALLSERVICE_NOTFOUND);

  // A second service of the same name is refused; the first one keeps answering.
  EXPECT_EQ(host.create_service("Test/Add", [](WPARAM, LPARAM) -> INT_PTR { return -1; }), 0u);
  EXPECT_EQ(host.call_service("Test/Add", 1, 1), 2);
  EXPECT_TRUE(host.destroy_service("Test/Add"));
  EXPECT_EQ(link.ServiceExists("Test/Add"), 0);

  // The entries the plug-in never calls are still there and harmless.
  for (HostUnusedFn entry :
       {link.entry1_create_hookable_event, link.entry2_destroy_hookable_event, link.entry3_notify_event_hooks,
        link.entry5_hook_event_message, link.entry8_create_transient_service, link.entry9_destroy_service,
        link.entry12_call_service_sync}) {
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(), 0);
  }
}

// A test answers one service itself and passes the rest on; the plug-in's calls are kept only
// while the record is switched on, in order, with the bytes of every send.
TEST_F(RegistryTest, ReplacedServicesAndTheRecordOfCalls) {
  host.create_service("Test/Add", plain_service);
  Host::Service old = host.replace_service("Test/Add", [](WPARAM w, LPARAM) -> INT_PTR { return w * 10; });
  ASSERT_TRUE(old);
  EXPECT_EQ(old(40, 2), 42);
  EXPECT_EQ(link.CallService("Test/Add", 4, 0), 40);
  EXPECT_FALSE(host.replace_service("Test/New", plain_service));
  EXPECT_EQ(link.CallService("Test/New", 1, 2), 3);
  EXPECT_TRUE(host.calls().empty());

  host.record_calls(true);
  char bytes[] = {1, 2, 3};
  NetlibBuffer buffer{bytes, 3, 0};
  link.CallService(MS_NETLIB_SEND, 0x77, reinterpret_cast<LPARAM>(&buffer));
  link.CallService("Test/Missing", 5, 6);
  host.call_service("Test/Add", 1, 1);  // the host's own call is not the plug-in's
  std::vector<hostsim::ServiceCall> calls = host.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].service, MS_NETLIB_SEND);
  EXPECT_EQ(calls[0].wparam, 0x77u);
  EXPECT_EQ(calls[0].sent, (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(calls[1].service, "Test/Missing");
  EXPECT_EQ(calls[1].lparam, 6);
  host.clear_records();
  EXPECT_TRUE(host.calls().empty());
}

TEST_F(RegistryTest, HooksRunInHookingOrderUntilUnhooked) {
  plain_calls.clear();
  HANDLE a = link.HookEvent("Test/Event", plain_hook_a);
  HANDLE b = link.HookEvent("Test/Event", plain_hook_b);
  std::vector<std::pair<WPARAM, LPARAM>> seen;
  host.hook_event("Test/Event", [&](WPARAM w, LPARAM l) -> INT_PTR {
    plain_calls.push_back(3);
    seen.emplace_back(w, l);
    return 0;
  });
  host.hook_event("Test/Other", [&](WPARAM, LPARAM) -> INT_PTR {
    plain_calls.push_back(99);
    return 0;
  });

  host.raise_event("Test/Event", 7, 8);
  EXPECT_EQ(plain_calls, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(seen, (std::vector<std::pair<WPARAM, LPARAM>>{{7, 8}}));

  plain_calls.clear();
  EXPECT_EQ(link.UnhookEvent(a), 0);
  EXPECT_NE(link.UnhookEvent(a), 0);  // already gone
  host.raise_event("Test/Event");
  EXPECT_EQ(plain_calls, (std::vector<int>{2, 3}));
  EXPECT_EQ(link.UnhookEvent(b), 0);
}

TEST_F(RegistryTest, HandlersMayUnhookAndCallBackIntoTheHost) {
  std::vector<int> calls;
  Handle second = 0;
  Handle first = host.hook_event("Test/Event", [&](WPARAM, LPARAM) -> INT_PTR {
    calls.push_back(1);
    host.unhook_event(first);   // itself
    host.unhook_event(second);  // a later hook of the same raise: no longer called
    // Services may be called and created from inside a handler.
    host.create_service("Test/Inner",
                        [](WPARAM w, LPARAM) -> INT_PTR { return static_cast<INT_PTR>(w * 2); });
    calls.push_back(static_cast<int>(host.call_service("Test/Inner", 21)));
    return 0;
  });
  second = host.hook_event("Test/Event", [&](WPARAM, LPARAM) -> INT_PTR {
    calls.push_back(2);
    return 0;
  });
  host.raise_event("Test/Event");
  host.raise_event("Test/Event");
  EXPECT_EQ(calls, (std::vector<int>{1, 42}));
  EXPECT_TRUE(host.hooked_events().empty());
}

TEST_F(RegistryTest, ManyThreadsCreateCallHookAndRaise) {
  constexpr int threads = 4, rounds = 200;
  const size_t services_before = host.service_names().size();
  std::atomic<int> hook_calls{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        std::string name = "Test/S" + std::to_string(t) + "/" + std::to_string(i);
        host.create_service(name, [i](WPARAM w, LPARAM) -> INT_PTR { return static_cast<INT_PTR>(w) + i; });
        EXPECT_EQ(host.call_service(name, 1000), 1000 + i);
        // Another thread's service, which may or may not exist yet.
        INT_PTR other =
            host.call_service("Test/S" + std::to_string((t + 1) % threads) + "/" + std::to_string(i));
        EXPECT_TRUE(other == i || other == Host::CALLSERVICE_NOTFOUND);
        Handle hook = host.hook_event("Test/Shared", [&](WPARAM, LPARAM) -> INT_PTR {
          ++hook_calls;
          return 0;
        });
        host.raise_event("Test/Shared");
        EXPECT_TRUE(host.unhook_event(hook));
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(host.service_names().size(), services_before + threads * rounds);
  EXPECT_GE(hook_calls.load(), threads * rounds);  // every raise reached at least its own hook
  EXPECT_TRUE(host.hooked_events().empty());
}

TEST_F(RegistryTest, OneHostPerProcess) {
  EXPECT_EQ(Host::current(), &host);
  EXPECT_THROW(Host second, std::logic_error);
  EXPECT_EQ(Host::current(), &host);
}

TEST_F(RegistryTest, WaitUntilWakesOnRecordsFromOtherThreads) {
  std::thread plugin_thread([&] {
    for (int seconds : {11, 0}) link.CallService(MS_PROTO_CONTACTISTYPING, 5, seconds);
  });
  EXPECT_TRUE(host.wait_until([&] { return host.typing().size() == 2; }, 10000));
  plugin_thread.join();
  EXPECT_EQ(host.typing()[1].seconds, 0);
  // A condition that never comes true ends with false once the time is up.
  EXPECT_FALSE(host.wait_until([] { return false; }, 50));
}

TEST_F(RegistryTest, LoadingAFileThatIsNoPlugin) {
  EXPECT_FALSE(host.load_plugin("/nonexistent/MRIM.so"));
  EXPECT_NE(host.error().find("/nonexistent/MRIM.so"), std::string::npos);
  EXPECT_EQ(host.plugin_info(), nullptr);
}

TEST_F(RegistryTest, PluginLoadsAndItsServicesGoWithIt) {
  const std::vector<std::string> own_services = host.service_names();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(host.load_plugin(testsupport::plugin_path())) << host.error();
    ASSERT_NE(host.plugin_info(), nullptr);
    EXPECT_GT(host.service_names().size(), own_services.size());
    host.modules_loaded();
    host.unload_plugins();
    // Nothing of the freed library can be reached any more.
    EXPECT_EQ(host.service_names(), own_services);
    EXPECT_TRUE(host.hooked_events().empty());
    EXPECT_EQ(host.plugin_info(), nullptr);
  }
}

}  // namespace
