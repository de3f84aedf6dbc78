// app/https/interceptor.h
//
// Decides, for the proxy, which CONNECTs to open for filtering: all hosts while
// the user's "InspectHttps" switch is on and a local CA is present, except the
// hosts of the passthrough list; and hands out the CA's per-host server
// contexts. The switch is read again at most every `refresh` (about 2 s), the
// passthrough list whenever its file's modification time or size changes, so
// `cvie https off` and an edit of the list take effect on a running proxy. The
// CA is loaded on first need; while it is missing, secure sites are tunnelled
// unfiltered, one log line says so, and loading is retried now and then (so
// `cvie ca create` also takes effect without a restart).
//
// Thread safety: ShouldInspect and ContextFor may be called from many threads
// at once; the shared state is behind one mutex.

#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "https/https_settings.h"
#include "https/local_ca.h"
#include "proxy/tls_interception.h"

namespace cvie::https {

class Interceptor : public proxy::TlsInterception {
 public:
  // Where the choices come from; the defaults are the user's settings.
  struct Sources {
    std::function<bool()> enabled;           // InspectHttpsEnabled
    std::filesystem::path passthrough_path;  // HttpsPassthroughPath
    std::function<std::unique_ptr<LocalCa>(std::string*)> load_ca;  // LocalCa::Load
    std::chrono::milliseconds refresh{2000};
  };
  static Sources UserSources();

  // `log` receives one line per notable event (no CA, a CA that loaded late);
  // it may be empty and is called with the lock held, so it must not call back.
  Interceptor(Sources sources, std::function<void(const std::string&)> log);

  bool ShouldInspect(const std::string& host) override;
  std::shared_ptr<SSL_CTX> ContextFor(const std::string& host,
                                      std::string* error) override;

 private:
  // Rereads what is due; returns the CA (null when none). Requires mu_.
  LocalCa* RefreshLocked();

  const Sources sources_;
  const std::function<void(const std::string&)> log_;
  std::mutex mu_;
  bool checked_ = false;  // guarded by mu_: the switch was read once
  bool enabled_ = false;  // guarded by mu_
  std::chrono::steady_clock::time_point checked_at_;         // guarded by mu_
  std::shared_ptr<const HttpsPassthroughList> passthrough_;  // guarded by mu_
  std::unique_ptr<LocalCa> ca_;                        // guarded by mu_; kept once loaded
  bool ca_tried_ = false;                              // guarded by mu_
  bool ca_missing_logged_ = false;                     // guarded by mu_
  std::chrono::steady_clock::time_point ca_tried_at_;  // guarded by mu_
};

}  // namespace cvie::https
