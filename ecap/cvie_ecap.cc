// libcvie_ecap.so: the filter as a Squid eCAP RESPMOD adapter.
//
// Squid loads the library into each worker and hands every response to a
// transaction of this service (ecap://corvane.example/filter). A "text/html"
// answer to a GET whose address is filtered (PageIsFiltered: filtering on,
// not whitelisted, http or https) and that carries no content encoding is
// collected up to the page limit, filtered by FilterHtmlPage (the same
// per-page entry the proxy's road uses) and sent with its new length and
// "Cache-Control: no-store" without validators, as `cvie proxy` does. A page
// that grows past the limit goes on unchanged: what was collected, then the
// rest as it arrives. Everything else is left to Squid (useVirgin), which
// then does not pass its body through the adapter at all.
//
// Configuration, from the ecap_service line: root=DIR (the data root, as
// CVIE_ROOT; without it the Squid user's own folders), max_filtered_mib=N
// (default 32, as `cvie proxy`). One rule holder per worker, loaded from the
// installed rule file and its cached index; a watcher thread looks at the rule
// file every two seconds and loads a changed one off the page path, and pages
// then take the new holder while pages under way keep the old one.
//
// Threads: Squid calls the service and transactions on its one main thread;
// the watcher thread only builds holders and publishes them under a lock.

#include <stdlib.h>
#include <unistd.h>

#include <libecap/adapter/service.h>
#include <libecap/adapter/xaction.h>
#include <libecap/common/autoconf.h>
#include <libecap/common/errors.h>
#include <libecap/common/header.h>
#include <libecap/common/libecap.h>
#include <libecap/common/message.h>
#include <libecap/common/name.h>
#include <libecap/common/named_values.h>
#include <libecap/common/names.h>
#include <libecap/common/options.h>
#include <libecap/common/registry.h>
#include <libecap/host/xaction.h>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "anyhtml/easy_buffer.h"
#include "config/data_folders.h"
#include "ie/page_filter.h"
#include "lists/list_set.h"
#include "log/logger.h"
#include "platform/process.h"
#include "platform/text.h"
#include "rules/current_rules.h"
#include "rules/rules_holder.h"

namespace cvie::ecap {
namespace {

constexpr char kServiceUri[] = "ecap://corvane.example/filter";
constexpr auto kRuleCheckPeriod = std::chrono::seconds(2);

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= text.size() || tolower(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  }
  return true;
}

// The worker's rules: the holder in force, replaced when the rule file
// changes. Pages hold a reference for as long as they are edited.
class RulesWatch {
 public:
  ~RulesWatch() { Stop(); }

  // Loads the rule file now and starts watching it, once per process: a
  // watcher started before Squid forked this worker does not run here, so the
  // worker starts its own (the copy of the parent's thread object is left
  // alone, since joining it would wait forever).
  void Start() {
    std::lock_guard<std::mutex> lock(thread_mu_);
    const pid_t pid = getpid();
    if (thread_ && owner_ == pid) return;
    if (thread_) (void)thread_.release();
    path_ = RuleFilePath();
    Reload();
    {
      std::lock_guard<std::mutex> state(mu_);
      stopping_ = false;
    }
    thread_ = std::make_unique<std::thread>([this] { Watch(); });
    owner_ = pid;
  }

  void Stop() {
    std::lock_guard<std::mutex> lock(thread_mu_);
    if (!thread_ || owner_ != getpid()) return;
    {
      std::lock_guard<std::mutex> state(mu_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_->join();
    thread_.reset();
  }

  std::shared_ptr<RulesHolder> Current() const { return CurrentRules::Process().Get(); }

 private:
  void Reload() {
    // Subscribed filter lists: reloaded when `cvie lists` changed them.
    lists::CurrentListSet::Process().ReloadIfChanged(lists::ListsFolderPath());
    // The rule file: loaded when an install replaced it; a file that fails
    // its check leaves the rules in force.
    CurrentRules::Process().ReloadIfChanged(path_);
  }

  void Watch() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stopping_) {
      wake_.wait_for(lock, kRuleCheckPeriod, [this] { return stopping_; });
      if (stopping_) break;
      lock.unlock();
      Reload();
      lock.lock();
    }
  }

  std::mutex thread_mu_;  // Start and Stop
  std::unique_ptr<std::thread> thread_;
  pid_t owner_ = 0;  // the process that started thread_
  std::wstring path_;
  mutable std::mutex mu_;  // stopping_
  std::condition_variable wake_;
  bool stopping_ = false;
};

class Service;

class Xaction : public libecap::adapter::Xaction {
 public:
  Xaction(libecap::host::Xaction* host, std::shared_ptr<RulesHolder> rules, size_t limit)
      : host_(host), rules_(std::move(rules)), limit_(limit) {}

  // Options: none of our own.
  const libecap::Area option(const libecap::Name&) const override {
    return libecap::Area();
  }
  void visitEachOption(libecap::NamedValueVisitor&) const override {}

  void start() override {
    if (!host_) return;
    if (!WantsPage()) {
      libecap::host::Xaction* host = host_;
      host_ = nullptr;
      host->useVirgin();
      return;
    }
    collecting_ = true;
    host_->vbMake();
  }

  void stop() override { host_ = nullptr; }

  void abDiscard() override { StopSending(); }
  void abMake() override {
    ab_made_ = true;
    if (host_ && !out_.empty()) host_->noteAbContentAvailable();
  }
  void abMakeMore() override {
    if (host_ && !collecting_ && !vb_done_) host_->vbMakeMore();
  }
  void abStopMaking() override { StopSending(); }

  libecap::Area abContent(libecap::size_type offset, libecap::size_type size) override {
    if (offset >= out_.size()) return libecap::Area();
    return libecap::Area::FromTempBuffer(out_.data() + offset,
                                         std::min(size, out_.size() - offset));
  }
  void abContentShift(libecap::size_type size) override {
    out_.erase(0, std::min(size, out_.size()));
  }

  void noteVbContentAvailable() override {
    if (!host_) return;
    const libecap::Area piece = host_->vbContent(0, libecap::nsize);
    host_->vbContentShift(piece.size);
    if (!collecting_) {
      if (sending_) {
        out_.append(piece.start, piece.size);
        NoteAbAvailable();
      }
      return;
    }
    if (page_.size() + piece.size > limit_) {
      // Too big to hold for editing: what is here goes on unchanged with the
      // origin's headers, then the rest as it arrives.
      Logger::Instance().Log(LOG_NOTICE,
                             L"eCAP: page larger than %lu bytes passed on unfiltered\n",
                             static_cast<unsigned long>(limit_));
      collecting_ = false;
      out_ = std::move(page_);
      std::string().swap(page_);
      out_.append(piece.start, piece.size);
      sending_ = true;
      host_->useAdapted(host_->virgin().clone());
      NoteAbAvailable();
      return;
    }
    page_.append(piece.start, piece.size);
  }

  void noteVbContentDone(bool at_end) override {
    vb_done_ = true;
    if (!host_) return;
    if (!collecting_) {
      if (sending_) host_->noteAbContentDone(at_end);
      return;
    }
    collecting_ = false;
    libecap::shared_ptr<libecap::Message> adapted = host_->virgin().clone();
    libecap::Header& header = adapted->header();
    if (at_end) {
      const size_t size = page_.size();
      page_.append(2, '\0');  // the editor's parser relies on two zero bytes
      CEasyBuffer edited;
      edited.Reserve(static_cast<ULONG>(size));
      PageFilterResult result = PageFilterResult::kFailed;
      try {
        result = FilterHtmlPage(ToWide(url_), page_.data(), size, &edited, rules_.get());
      } catch (...) {
        result = PageFilterResult::kFailed;
      }
      if (result == PageFilterResult::kFiltered) {
        out_.assign(edited.GetData(), edited.GetSize());
        for (const char* name : {"ETag", "Last-Modified", "Cache-Control", "Expires"})
          header.removeAny(libecap::Name(name));
        header.add(libecap::Name("Cache-Control"),
                   libecap::Area::FromTempString("no-store"));
      } else {
        if (result == PageFilterResult::kFailed)
          Logger::Instance().LogA(LOG_NOTICE, "eCAP: %s passed on unfiltered\n",
                                  url_.c_str());
        page_.resize(size);
        out_ = std::move(page_);
      }
      std::string().swap(page_);
      header.removeAny(libecap::headerTransferEncoding);
      header.removeAny(libecap::headerContentLength);
      header.add(libecap::headerContentLength,
                 libecap::Area::FromTempString(std::to_string(out_.size())));
    } else {
      // The origin cut the page: what came goes on unchanged and ends cut
      // short, as Squid reports it.
      out_ = std::move(page_);
      std::string().swap(page_);
    }
    sending_ = true;
    host_->useAdapted(adapted);
    NoteAbAvailable();
    if (host_) host_->noteAbContentDone(at_end);
  }

 private:
  // A GET answered with an HTML body, unencoded, whose address is filtered.
  bool WantsPage() {
    const auto* request =
        dynamic_cast<const libecap::RequestLine*>(&host_->cause().firstLine());
    if (!request || request->method() != libecap::methodGet) return false;
    const libecap::Message& virgin = host_->virgin();
    if (!virgin.body()) return false;
    const libecap::Header& header = virgin.header();
    if (!StartsWithNoCase(header.value(libecap::Name("Content-Type")).toString(),
                          "text/html")) {
      return false;
    }
    const std::string encoding =
        header.value(libecap::Name("Content-Encoding")).toString();
    if (!encoding.empty() && encoding != "identity") return false;
    const std::string length = header.value(libecap::headerContentLength).toString();
    if (!length.empty() && length.find_first_not_of("0123456789") == std::string::npos &&
        strtoull(length.c_str(), nullptr, 10) > limit_) {
      return false;  // declared too big: Squid streams it untouched
    }
    url_ = request->uri().toString();
    if (!url_.empty() && url_[0] == '/') {
      // Origin form: the address is the Host header's plus the path.
      url_ = "http://" + host_->cause().header().value(libecap::Name("Host")).toString() +
             url_;
    }
    return PageIsFiltered(ToWide(url_));
  }

  void StopSending() {
    sending_ = false;
    std::string().swap(out_);
    collecting_ = false;
    if (host_ && !vb_done_) {
      vb_done_ = true;
      host_->vbStopMaking();
    }
  }

  // Tells Squid that adapted bytes wait, once it has asked for them.
  void NoteAbAvailable() {
    if (host_ && ab_made_) host_->noteAbContentAvailable();
  }

  libecap::host::Xaction* host_;
  std::shared_ptr<RulesHolder> rules_;  // the holder in force when the page came
  const size_t limit_;
  std::string url_;
  std::string page_;  // the page collected so far
  std::string out_;   // adapted body bytes not yet taken by Squid
  bool collecting_ = false;
  bool sending_ = false;
  bool ab_made_ = false;  // Squid asked for the adapted body
  bool vb_done_ = false;  // the virgin body ended or was given up
};

class Service : public libecap::adapter::Service {
 public:
  std::string uri() const override { return kServiceUri; }
  std::string tag() const override { return "cvie-2.2"; }
  void describe(std::ostream& os) const override { os << "Corvane Filter page filter"; }

  void configure(const libecap::Options& cfg) override { Configure(cfg); }
  void reconfigure(const libecap::Options& cfg) override { Configure(cfg); }

  void start() override { rules_.Start(); }
  void stop() override { rules_.Stop(); }
  void retire() override { rules_.Stop(); }

  bool wantsUrl(const char*) const override { return true; }

  MadeXactionPointer makeXaction(libecap::host::Xaction* host) override {
    rules_.Start();  // a no-op unless this worker was forked from the configuring process
    return MadeXactionPointer(new Xaction(host, rules_.Current(), limit_));
  }

 private:
  void Configure(const libecap::Options& cfg) {
    const std::string root = cfg.option(libecap::Name("root")).toString();
    // The data folders are fixed at their first use in the process: a root
    // changed by a reconfiguration takes effect when Squid restarts.
    if (!root.empty() && !root_set_) setenv("CVIE_ROOT", root.c_str(), 1);
    root_set_ = true;
    const std::string mib = cfg.option(libecap::Name("max_filtered_mib")).toString();
    if (!mib.empty()) {
      unsigned long long value = strtoull(mib.c_str(), nullptr, 10);
      if (value >= 1 && value <= 4096) limit_ = static_cast<size_t>(value) << 20;
    }
    // Squid plays the browser here: its pages are filtered.
    platform::DeclareBrowserProcess(true);
    rules_.Start();
  }

  RulesWatch rules_;
  size_t limit_ = 32u << 20;
  bool root_set_ = false;
};

const bool kRegistered = libecap::RegisterVersionedService(new Service);

}  // namespace
}  // namespace cvie::ecap
