#include "https/interceptor.h"

#include <algorithm>
#include <utility>

#include "platform/text.h"

namespace cvie::https {

Interceptor::Sources Interceptor::UserSources() {
  Sources sources;
  sources.enabled = &InspectHttpsEnabled;
  // The file's name as the settings write it (UTF-8), whatever the locale.
  sources.passthrough_path =
      std::filesystem::path(platform::ToNarrow(HttpsPassthroughPath()));
  sources.load_ca = &LocalCa::Load;
  sources.ca_stamp = &LocalCaFilesStamp;
  return sources;
}

Interceptor::Interceptor(Sources sources, std::function<void(const std::string&)> log)
    : sources_(std::move(sources)), log_(std::move(log)) {
  if (sources_.enabled) {
    enabled_.store(sources_.enabled());
    refresher_ = std::thread([this] { ReadSwitchUntilStopped(); });
  }
}

Interceptor::~Interceptor() {
  {
    std::lock_guard<std::mutex> lock(stop_mu_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  if (refresher_.joinable()) refresher_.join();
}

void Interceptor::ReadSwitchUntilStopped() {
  auto interval = std::max(sources_.refresh, std::chrono::milliseconds(1));
  std::unique_lock<std::mutex> lock(stop_mu_);
  while (!stop_cv_.wait_for(lock, interval, [this] { return stopping_; })) {
    lock.unlock();
    // May wait for the registry; no connection waits for this thread.
    enabled_.store(sources_.enabled());
    lock.lock();
  }
}

LocalCa* Interceptor::RefreshLocked(bool enabled) {
  // A stat per CONNECT: an edit of the list counts from the next connection.
  passthrough_ = HttpsPassthroughList::LoadIfChanged(sources_.passthrough_path,
                                                     std::move(passthrough_));
  // A CA removed or made again with `cvie ca` is let go at once: a removed
  // key must not go on signing, and a browser trusts only the new one.
  if (ca_ && sources_.ca_stamp && sources_.ca_stamp() != ca_stamp_) {
    ca_.reset();
    ca_tried_ = false;
    ca_missing_logged_ = true;  // the next load, if any, is told
    if (log_) {
      log_(
          "the local CA was removed or replaced: secure sites are tunnelled "
          "unfiltered until a CA loads");
    }
  }
  auto now = std::chrono::steady_clock::now();
  if (enabled && !ca_ && (!ca_tried_ || now - ca_tried_at_ >= sources_.refresh)) {
    ca_tried_ = true;
    ca_tried_at_ = now;
    std::string error;
    // Stamped before reading, so a change during the load is seen next time.
    if (sources_.ca_stamp) ca_stamp_ = sources_.ca_stamp();
    if (sources_.load_ca) ca_ = sources_.load_ca(&error);
    if (ca_ && ca_missing_logged_) {
      if (log_) log_("the local CA is loaded: secure sites are filtered from now on");
    } else if (!ca_ && !ca_missing_logged_) {
      ca_missing_logged_ = true;
      if (log_) {
        log_("HTTPS filtering is on but the local CA cannot be loaded (" + error +
             "): secure sites are tunnelled unfiltered");
      }
    }
  }
  return ca_.get();
}

bool Interceptor::ShouldInspect(const std::string& host) {
  bool enabled = enabled_.load();
  std::lock_guard<std::mutex> lock(mu_);
  LocalCa* ca = RefreshLocked(enabled);
  if (!enabled || !ca) return false;
  return !(passthrough_ && passthrough_->Contains(host));
}

std::shared_ptr<SSL_CTX> Interceptor::ContextFor(const std::string& host,
                                                 std::string* error) {
  std::shared_ptr<LocalCa> ca;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ca = ca_;
  }
  if (!ca) {
    *error = "no local CA is loaded";
    return nullptr;
  }
  // Minting may take a moment; the CA is thread safe and `ca` keeps it alive.
  return ca->ServerContextFor(host, error);
}

}  // namespace cvie::https
