// The process's URL-moniker session: getting it, registering and
// withdrawing namespace handlers and MIME filters.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/urlmon.h"
#include "platform/urlmon_testing.h"
#include "urlmon/urlmon_fakes.h"

using namespace cvie;
using namespace cvie::testing;

namespace {

ComPtr<IInternetSession> GetSession() {
  ComPtr<IInternetSession> session;
  EXPECT_EQ(CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0), S_OK);
  return session;
}

// References held on `object` besides the caller's one.
ULONG ExtraReferences(IUnknown* object) {
  object->AddRef();
  return object->Release() - 1;
}

}  // namespace

TEST(CoInternetGetSession, GivesTheOneSessionOfTheProcess) {
  ComPtr<IInternetSession> first = GetSession();
  ComPtr<IInternetSession> second = GetSession();
  ASSERT_TRUE(first);
  EXPECT_EQ(first.Get(), second.Get());
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(first->QueryInterface(IID_IInternetSession, unknown.OutVoid()), S_OK);

  struct Case {
    const char* name;
    DWORD mode;
    bool null_out;
    DWORD reserved;
    HRESULT expected;
  };
  const Case cases[] = {
      {"mode not 0", 1, false, 0, E_INVALIDARG},
      {"reserved not 0", 0, false, 7, E_INVALIDARG},
      {"no out pointer", 0, true, 0, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    IInternetSession* session = reinterpret_cast<IInternetSession*>(0x1);
    HRESULT hr =
        CoInternetGetSession(c.mode, c.null_out ? nullptr : &session, c.reserved);
    EXPECT_EQ(hr, c.expected) << c.name;
    if (!c.null_out) {
      EXPECT_EQ(session, nullptr) << c.name;
    }
  }
}

TEST(CoInternetGetSession, FailsWhileMadeUnavailable) {
  SetInternetSessionAvailableForTesting(false);
  IInternetSession* session = reinterpret_cast<IInternetSession*>(0x1);
  EXPECT_EQ(CoInternetGetSession(0, &session, 0), INET_E_NO_SESSION);
  EXPECT_EQ(session, nullptr);
  SetInternetSessionAvailableForTesting(true);
  ComPtr<IInternetSession> back = GetSession();
  EXPECT_TRUE(back);
}

TEST(InternetSession, RegistrationsStackAndHoldTheClassObject) {
  ClearInternetSessionForTesting();
  ComPtr<IInternetSession> session = GetSession();
  ComPtr<IClassFactory> handler = RecordingHandlerFactory();
  ComPtr<IClassFactory> other = SecondRecordingHandlerFactory();
  ASSERT_EQ(ExtraReferences(handler.Get()), 0u);

  for (const wchar_t* scheme : {L"http", L"https", L"file"}) {
    EXPECT_EQ(session->RegisterNameSpace(handler.Get(), CLSID_FakeHandler, scheme, 0,
                                         nullptr, 0),
              S_OK);
  }
  EXPECT_EQ(ExtraReferences(handler.Get()), 3u) << "one reference per registration";
  EXPECT_EQ(CountNameSpaceRegistrations(L"http"), 1u);
  EXPECT_EQ(CountNameSpaceRegistrations(L"HTTP"), 1u) << "schemes ignore letter case";
  EXPECT_EQ(CountNameSpaceRegistrations(L"ftp"), 0u);

  // A second registration of the scheme stacks on the first.
  EXPECT_EQ(
      session->RegisterNameSpace(other.Get(), CLSID_FakeHandler, L"HTTP", 0, nullptr, 0),
      S_OK);
  EXPECT_EQ(CountNameSpaceRegistrations(L"http"), 2u);

  // Unregistering names the class object: another object's entry stays.
  EXPECT_EQ(session->UnregisterNameSpace(other.Get(), L"http"), S_OK);
  EXPECT_EQ(CountNameSpaceRegistrations(L"http"), 1u);
  EXPECT_EQ(ExtraReferences(other.Get()), 0u);
  EXPECT_EQ(session->UnregisterNameSpace(other.Get(), L"http"), S_OK)
      << "nothing left is fine";
  EXPECT_EQ(CountNameSpaceRegistrations(L"http"), 1u);

  for (const wchar_t* scheme : {L"http", L"https", L"file"}) {
    EXPECT_EQ(session->UnregisterNameSpace(handler.Get(), scheme), S_OK);
    EXPECT_EQ(CountNameSpaceRegistrations(scheme), 0u);
  }
  EXPECT_EQ(ExtraReferences(handler.Get()), 0u);

  // MIME filters the same way.
  ComPtr<IClassFactory> filter = CollectingFilterFactory();
  EXPECT_EQ(session->RegisterMimeFilter(filter.Get(), CLSID_FakeFilter, L"text/html"),
            S_OK);
  EXPECT_EQ(CountMimeFilterRegistrations(L"Text/HTML"), 1u);
  EXPECT_EQ(CountMimeFilterRegistrations(L"text/plain"), 0u);
  EXPECT_EQ(ExtraReferences(filter.Get()), 1u);
  EXPECT_EQ(session->UnregisterMimeFilter(filter.Get(), L"text/html"), S_OK);
  EXPECT_EQ(CountMimeFilterRegistrations(L"text/html"), 0u);
  EXPECT_EQ(ExtraReferences(filter.Get()), 0u);
}

TEST(InternetSession, RefusesMissingArguments) {
  ComPtr<IInternetSession> session = GetSession();
  ComPtr<IClassFactory> factory = RecordingHandlerFactory();
  struct Case {
    const char* name;
    HRESULT got;
  };
  const Case cases[] = {
      {"namespace without class object",
       session->RegisterNameSpace(nullptr, CLSID_FakeHandler, L"http", 0, nullptr, 0)},
      {"namespace without scheme",
       session->RegisterNameSpace(factory.Get(), CLSID_FakeHandler, nullptr, 0, nullptr,
                                  0)},
      {"namespace with empty scheme",
       session->RegisterNameSpace(factory.Get(), CLSID_FakeHandler, L"", 0, nullptr, 0)},
      {"filter without type",
       session->RegisterMimeFilter(factory.Get(), CLSID_FakeFilter, nullptr)},
      {"filter without class object",
       session->RegisterMimeFilter(nullptr, CLSID_FakeFilter, L"text/html")},
      {"unregister namespace without class object",
       session->UnregisterNameSpace(nullptr, L"http")},
      {"unregister filter without type",
       session->UnregisterMimeFilter(factory.Get(), nullptr)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, E_INVALIDARG) << c.name;
  EXPECT_EQ(ExtraReferences(factory.Get()), 0u)
      << "a refused registration keeps no reference";
}

TEST(InternetSession, ConcurrentRegistrationsFromManyThreads) {
  ClearInternetSessionForTesting();
  ComPtr<IClassFactory> factory = CollectingFilterFactory();
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&factory, t] {
      ComPtr<IInternetSession> session;
      CoInternetGetSession(0, session.ReleaseAndGetAddressOf(), 0);
      std::wstring type = L"application/x-thread-" + std::to_wstring(t);
      for (int i = 0; i < kRounds; ++i) {
        session->RegisterMimeFilter(factory.Get(), CLSID_FakeFilter, type.c_str());
        session->RegisterNameSpace(factory.Get(), CLSID_FakeHandler, L"shared", 0,
                                   nullptr, 0);
        session->UnregisterNameSpace(factory.Get(), L"shared");
        if (i % 2) session->UnregisterMimeFilter(factory.Get(), type.c_str());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) {
    std::wstring type = L"application/x-thread-" + std::to_wstring(t);
    EXPECT_EQ(CountMimeFilterRegistrations(type), static_cast<size_t>(kRounds / 2)) << t;
  }
  EXPECT_EQ(CountNameSpaceRegistrations(L"shared"), 0u);
  EXPECT_EQ(ExtraReferences(factory.Get()), static_cast<ULONG>(kThreads * kRounds / 2));
  ClearInternetSessionForTesting();
  EXPECT_EQ(ExtraReferences(factory.Get()), 0u);
}
