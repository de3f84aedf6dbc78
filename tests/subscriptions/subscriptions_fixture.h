// tests/subscriptions/subscriptions_fixture.h
//
// What the subscription tests share: a fresh CVIE_ROOT per test (data folders
// made, their cached paths reset), a loopback HTTP server serving a small
// list and the answers that are not lists, and short download timeouts.

#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "comm/list_updater.h"
#include "common/test_support.h"
#include "http_test_server.h"
#include "platform/data_folders.h"
#include "platform/text.h"

namespace cvie::testing {

inline std::string SmallList(const std::string& version) {
  return "[Adblock Plus 2.0]\n! Title: Small list\n! Version: " + version +
         "\n! Expires: 2 "
         "days\n||ads.example^\n/banner/*\n##.advert\nexample.org##.promo\n"
         "||x.example^$unknownoption\n";
}

class SubscriptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<ScopedCvieRoot>();
    platform::ResetDataFolderCacheForTesting();
    platform::CreateDataFolders();
    SetListDownloadTimeoutForTesting(5000);
    ASSERT_TRUE(server_.Start());
    server_.SetRoute("/list.txt", {200, SmallList("1")});
    server_.SetRoute(
        "/page.html",
        {200, "<!DOCTYPE html>\n<html><head><title>x</title></head></html>"});
    server_.SetRoute("/empty.txt", {200, ""});
    server_.SetRoute("/blank.txt", {200, "\n\n  \n"});
    server_.SetRoute("/comments.txt", {200, "! only a comment\n! and another\n"});
    server_.SetRoute("/big.txt", {200, "[Adblock Plus 2.0]\n" +
                                           std::string(lists::kMaxListBytes, '!')});
    HttpRoute cut;
    cut.body = SmallList("2") + std::string(100000, '!');
    cut.cut_after = 200;
    server_.SetRoute("/cut.txt", cut);
    server_.SetRoute("/error.txt", {500, "[Adblock Plus 2.0]\n||a.example^\n"});
  }
  void TearDown() override {
    server_.Stop();
    SetListDownloadTimeoutForTesting(0);
    root_.reset();
    platform::ResetDataFolderCacheForTesting();
  }

  std::string Url(const std::string& path) const { return server_.base_url() + path; }

  // The body stored for `url`, or "(none)".
  static std::string StoredBody(const std::string& url) {
    std::string body;
    if (!ReadFile(platform::ToNarrow(lists::ListsFolderPath()) + "/" +
                      lists::ListId(url) + ".txt",
                  &body))
      return "(none)";
    return body;
  }
  static std::string Generation() {
    std::string text;
    ReadFile(platform::ToNarrow(lists::ListsFolderPath()) + "/generation", &text);
    return text;
  }
  static std::vector<lists::Subscription> Subscriptions() {
    std::vector<lists::Subscription> subscriptions;
    std::string error;
    EXPECT_TRUE(ReadSubscriptions(&subscriptions, &error)) << error;
    return subscriptions;
  }

  std::unique_ptr<ScopedCvieRoot> root_;
  HttpTestServer server_;
};

}  // namespace cvie::testing
