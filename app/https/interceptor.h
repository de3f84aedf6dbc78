// app/https/interceptor.h
//
// Decides, for the proxy, which CONNECTs to open for filtering: all hosts while
// the user's "InspectHttps" switch is on and a local CA is present, except the
// hosts of the passthrough list; and hands out the CA's per-host server
// contexts. The switch is read when the interceptor is made and then every
// `refresh` (about 2 s) by a thread of its own, so that the proxy's I/O threads
// never wait on the registry (another process may hold it locked); the
// passthrough list is read again whenever its file's modification time or size
// changes. So `cvie https off` and an edit of the list take effect on a running
// proxy. The CA is loaded on first need; while it is missing, secure sites are
// tunnelled unfiltered, one log line says so, and loading is retried every
// `refresh` (so `cvie ca create` also takes effect without a restart). A
// loaded CA whose files are removed or replaced (`cvie ca remove`, `create`)
// is dropped at the next CONNECT and the files are read again.
//
// Thread safety: ShouldInspect and ContextFor may be called from many threads
// at once; the shared state is behind one mutex, the switch is an atomic.

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
    // Changes when the CA's files do (LocalCaFilesStamp); may be empty, and
    // then a loaded CA is kept until the interceptor ends.
    std::function<std::string()> ca_stamp;
    std::chrono::milliseconds refresh{2000};
  };
  static Sources UserSources();

  // `log` receives one line per notable event (no CA, a CA that loaded late);
  // it may be empty and is called with the lock held, so it must not call back.
  Interceptor(Sources sources, std::function<void(const std::string&)> log);
  // Stops the thread reading the switch.
  ~Interceptor() override;

  Interceptor(const Interceptor&) = delete;
  Interceptor& operator=(const Interceptor&) = delete;

  bool ShouldInspect(const std::string& host) override;
  std::shared_ptr<SSL_CTX> ContextFor(const std::string& host,
                                      std::string* error) override;

 private:
  // Rereads the list and tries the CA when due; the CA (null when none).
  // Requires mu_.
  LocalCa* RefreshLocked(bool enabled);
  // The body of refresher_: reads the switch every `refresh` until stopped.
  void ReadSwitchUntilStopped();

  const Sources sources_;
  const std::function<void(const std::string&)> log_;
  std::atomic<bool> enabled_{false};  // the switch as last read
  std::mutex stop_mu_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;  // guarded by stop_mu_
  std::thread refresher_;

  std::mutex mu_;
  std::shared_ptr<const HttpsPassthroughList> passthrough_;  // guarded by mu_
  // Guarded by mu_. Kept while its files stay as they were when it was loaded;
  // a connection still minting with a replaced one holds its own reference.
  std::shared_ptr<LocalCa> ca_;
  std::string ca_stamp_;                               // guarded by mu_; at load
  bool ca_tried_ = false;                              // guarded by mu_
  bool ca_missing_logged_ = false;                     // guarded by mu_
  std::chrono::steady_clock::time_point ca_tried_at_;  // guarded by mu_
};

}  // namespace cvie::https
