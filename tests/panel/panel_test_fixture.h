// The control panel served by a proxy server on a free loopback port, with
// a fresh window and ui, and requests made as a browser makes them. Shared
// by the panel's test files.

#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "panel/panel_handler.h"
#include "panel/panel_ui.h"
#include "platform/data_folders.h"
#include "platform/ui.h"
#include "proxy/proxy_server.h"
#include "proxy_test_support.h"
#include "road/browser_window.h"

namespace cvie::panel {

using proxy::testing::ParsedResponse;
using proxy::testing::RequestText;
using proxy::testing::ScriptedHandler;
using proxy::testing::TestClient;

class PanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::CreateDataFolders();
    previous_ = platform::SetUi(&ui_);
    handler_ = std::make_unique<PanelHandler>(&window_, &ui_, nullptr, "secret-token");
    proxy::ProxyServerOptions options;
    options.address = "127.0.0.1";
    options.port = 0;
    server_ = std::make_unique<proxy::ProxyServer>(options, &road_, handler_.get());
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void TearDown() override {
    server_->Stop();
    platform::SetUi(previous_);
  }

  ParsedResponse Request(const std::string& method, const std::string& path,
                         const std::string& body = "") {
    TestClient client;
    ParsedResponse response;
    EXPECT_TRUE(client.Connect(server_->port()));
    std::vector<std::string> headers = {"Host: 127.0.0.1:" +
                                        std::to_string(server_->port())};
    if (method == "POST") {
      headers.push_back("Content-Type: application/x-www-form-urlencoded");
      headers.push_back("Content-Length: " + std::to_string(body.size()));
    }
    EXPECT_TRUE(client.Send(RequestText(method, path, headers, body)));
    EXPECT_TRUE(client.ReadResponse(&response)) << method << " " << path;
    return response;
  }
  ParsedResponse Post(const std::string& path, const std::string& form) {
    return Request("POST", path, "token=secret-token&" + form);
  }

  road::BrowserWindow window_;
  PanelUi ui_;
  platform::Ui* previous_ = nullptr;
  ScriptedHandler<proxy::ProxyExchangeHandler> road_;
  std::unique_ptr<PanelHandler> handler_;
  std::unique_ptr<proxy::ProxyServer> server_;
};

}  // namespace cvie::panel
