// libcvie_ecap.so: the filter as a Squid eCAP RESPMOD adapter.
//
// Squid loads the library into each worker and hands every response to a
// transaction of this service (ecap://corvane.example/filter). A "text/html"
// answer to a GET whose address is filtered (PageIsFiltered: filtering on,
// not whitelisted, http or https) is collected up to the page limit, decoded
// when it carries a content coding (gzip, deflate, br, zstd), filtered by
// FilterHtmlPage (the same per-page entry the proxy's road uses) and sent
// not coded, with its new length and "Cache-Control: no-store" without
// validators, as `cvie proxy` does (ecap/page_assembly.h). A page that grows
// or decodes past the limit, or whose coded data is broken, goes on
// unchanged: what was collected, then the rest as it arrives. Everything
// else is left to Squid (useVirgin), which then does not pass its body
// through the adapter at all.
//
// Configuration, from the ecap_service line: root=DIR (the data root, as
// CVIE_ROOT; without it the Squid user's own folders), max_filtered_mib=N
// (default 32, as `cvie proxy`), filter_threads=N (the threads that edit
// pages; default the machine's hardware threads, 0: edit on Squid's thread).
// One rule holder per worker, loaded from the installed rule file and its
// cached index; a watcher thread looks at the rule file every two seconds and
// loads a changed one off the page path, and pages then take the new holder
// while pages under way keep the old one.
//
// Threads: Squid calls the service and transactions on its one main thread,
// and so does the adapter call Squid. A whole page is edited on a thread of
// the service's FilterPool (ecap/filter_pool.h) while Squid goes on; the
// service's resume(), which Squid calls on every turn of its event loop,
// hands finished pages back to their transactions (host resume(), then our
// Xaction::resume() sends the result). While pages are being edited,
// suspend() keeps Squid's wait for network events short so that a finished
// page is picked up within a millisecond. The watcher thread
// (ecap/rules_watch.h) only builds holders and publishes them under a lock.

#include <stdlib.h>

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
#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "filter_pool.h"
#include "ie/page_filter.h"
#include "page_assembly.h"
#include "platform/process.h"
#include "platform/text.h"
#include "rules/rules_holder.h"
#include "rules_watch.h"

namespace cvie::ecap {
namespace {

constexpr char kServiceUri[] = "ecap://corvane.example/filter";

// While a page passes on unfiltered, the adapter takes more of the origin's
// body from Squid only while it holds less than this: the rest waits in
// Squid's own body buffer, and Squid stops reading from the origin when that
// is full. A slow browser then costs the adapter at most the page limit (what
// was collected before the page turned to passing) or this, plus one piece.
constexpr size_t kPassingHold = 256 * 1024;

// The most adapted bytes handed to Squid at once: its body buffer holds no
// more.
constexpr libecap::size_type kAbPiece = 64 * 1024;

// How long Squid may wait for network events while pages are being edited:
// a finished page waits at most this long to be sent.
constexpr suseconds_t kEditingPollUsec = 1000;

class Xaction : public libecap::adapter::Xaction {
 public:
  Xaction(libecap::host::Xaction* host, std::shared_ptr<RulesHolder> rules, size_t limit,
          FilterPool* pool)
      : host_(host), rules_(std::move(rules)), limit_(limit), pool_(pool) {}
  ~Xaction() override { CancelJob(); }

  // Options: none of our own.
  const libecap::Area option(const libecap::Name&) const override {
    return libecap::Area();
  }
  void visitEachOption(libecap::NamedValueVisitor&) const override {}

  void start() override {
    if (!host_) return;
    std::string url;
    if (!WantsPage(&url)) {
      libecap::host::Xaction* host = host_;
      host_ = nullptr;
      host->useVirgin();
      return;
    }
    const libecap::Header& header = host_->virgin().header();
    assembly_ = std::make_unique<PageAssembly>(
        std::move(url), header.value(libecap::Name("Content-Encoding")).toString(),
        limit_, std::move(rules_));
    const std::string length = header.value(libecap::headerContentLength).toString();
    if (!length.empty() && length.size() <= 19 &&
        length.find_first_not_of("0123456789") == std::string::npos)
      assembly_->Reserve(strtoull(length.c_str(), nullptr, 10));
    host_->vbMake();
  }

  void stop() override {
    CancelJob();
    host_ = nullptr;
  }

  // The page edited on a worker is back (Squid calls this after our
  // host_->resume()): send it.
  void resume() override {
    if (!job_) return;
    std::shared_ptr<FilterJob> job = std::move(job_);
    assembly_ = job->TakeAssembly();
    if (!host_ || !assembly_) return;
    SendWhole(job->state(), true);
  }

  void abDiscard() override { StopSending(); }
  void abMake() override {
    ab_made_ = true;
    if (host_ && Waiting() > 0) host_->noteAbContentAvailable();
  }
  void abMakeMore() override {
    if (host_ && Sending() && !vb_done_) host_->vbMakeMore();
  }
  void abStopMaking() override { StopSending(); }

  libecap::Area abContent(libecap::size_type offset, libecap::size_type size) override {
    const size_t waiting = Waiting();
    if (offset >= waiting) return libecap::Area();
    // The area is a copy: at most one of Squid's buffers at a time, so that
    // every byte is copied once however Squid takes the page.
    return libecap::Area::FromTempBuffer(assembly_->out().data() + offset,
                                         std::min({size, waiting - offset, kAbPiece}));
  }
  void abContentShift(libecap::size_type size) override {
    if (!assembly_) return;
    // Sent bytes are let go of in bulk, not moved out one piece at a time.
    assembly_->out().Skip(size);
    // Room again: take what waits in Squid's buffer. Squid asks for it
    // (abContent) when its own buffer next has room, so no notice here,
    // which would call back into Squid while it is moving our bytes.
    if (!vb_done_) TakeVirgin();
  }

  void noteVbContentAvailable() override {
    if (!TakeVirgin() || assembly_->state() != PageAssembly::State::kPassing) return;
    // Too big to hold for editing, or coded data that cannot be decoded:
    // what is here goes on unchanged with the origin's headers, then the
    // rest as it arrives.
    if (!adapted_) {
      adapted_ = true;
      host_->useAdapted(host_->virgin().clone());
    }
    NoteAbAvailable();
  }

  void noteVbContentDone(bool at_end) override {
    vb_done_ = true;
    if (!host_ || !assembly_) return;
    // What still waits in Squid's buffer (held back while passing) is the
    // end of the body; Squid's buffer bounds it.
    TakeVirgin(true);
    const bool was_passing = assembly_->state() == PageAssembly::State::kPassing;
    if (was_passing && !adapted_) {
      // Passing from the start (a coding that cannot be undone) and no
      // piece came: the headers still go out.
      adapted_ = true;
      host_->useAdapted(host_->virgin().clone());
    }
    if (!was_passing && at_end && pool_) {
      // The whole page is here: a worker edits it while Squid goes on.
      auto job = std::make_shared<FilterJob>(std::move(assembly_), at_end, [this] {
        if (host_) host_->resume();
      });
      if (pool_->Submit(job)) {
        job_ = std::move(job);
        return;
      }
      job->Run();  // no pool running (between a stop and a start)
      assembly_ = job->TakeAssembly();
      SendWhole(job->state(), at_end);
      return;
    }
    SendWhole(assembly_->End(at_end), at_end);
  }

 private:
  // Sends the body once it ended in `state`: the headers unless already
  // sent, what waits, and the end.
  void SendWhole(PageAssembly::State state, bool at_end) {
    if (!adapted_) {
      libecap::shared_ptr<libecap::Message> adapted = host_->virgin().clone();
      libecap::Header& header = adapted->header();
      if (state == PageAssembly::State::kFiltered) {
        for (const char* name :
             {"ETag", "Last-Modified", "Cache-Control", "Expires", "Content-Encoding"})
          header.removeAny(libecap::Name(name));
        header.add(libecap::Name("Cache-Control"),
                   libecap::Area::FromTempString("no-store"));
      }
      if (state == PageAssembly::State::kFiltered ||
          state == PageAssembly::State::kUnchanged) {
        header.removeAny(libecap::headerTransferEncoding);
        header.removeAny(libecap::headerContentLength);
        header.add(
            libecap::headerContentLength,
            libecap::Area::FromTempString(std::to_string(assembly_->out().size())));
      }
      adapted_ = true;
      host_->useAdapted(adapted);
    }
    NoteAbAvailable();
    if (host_) host_->noteAbContentDone(at_end);
  }

  // Takes the body bytes Squid holds into the assembly: all of them while
  // collecting (the assembly bounds what it keeps by the page limit), and
  // while passing only while fewer than kPassingHold bytes wait to be sent,
  // unless `all`. True when bytes were taken.
  bool TakeVirgin(bool all = false) {
    if (!host_ || !assembly_) return false;
    if (!all && assembly_->state() == PageAssembly::State::kPassing &&
        Waiting() >= kPassingHold)
      return false;
    const libecap::Area piece = host_->vbContent(0, libecap::nsize);
    if (piece.size == 0) return false;
    host_->vbContentShift(piece.size);
    assembly_->Add(piece.start, piece.size);
    return true;
  }

  // A GET answered with an HTML body whose address is filtered; `*url` is
  // the page address.
  bool WantsPage(std::string* url) {
    const auto* request =
        dynamic_cast<const libecap::RequestLine*>(&host_->cause().firstLine());
    if (!request) return false;
    const libecap::Message& virgin = host_->virgin();
    const libecap::Header& header = virgin.header();
    AnswerHead head;
    head.is_get = request->method() == libecap::methodGet;
    head.has_body = virgin.body() != nullptr;
    head.content_type = header.value(libecap::Name("Content-Type")).toString();
    head.content_encoding = header.value(libecap::Name("Content-Encoding")).toString();
    head.content_length = header.value(libecap::headerContentLength).toString();
    if (!WantsBody(head, limit_)) return false;
    *url = request->uri().toString();
    if (!url->empty() && (*url)[0] == '/') {
      // Origin form: the address is the Host header's plus the path.
      *url = "http://" + host_->cause().header().value(libecap::Name("Host")).toString() +
             *url;
    }
    return PageIsFiltered(platform::ToWide(*url));
  }

  // Adapted bytes not yet taken by Squid.
  size_t Waiting() const { return assembly_ ? assembly_->out().size() : 0; }

  // True once the adapted body is under way (not while the page is collected
  // or edited).
  bool Sending() const {
    return assembly_ && assembly_->state() != PageAssembly::State::kCollecting;
  }

  void StopSending() {
    CancelJob();
    assembly_.reset();
    if (host_ && !vb_done_) {
      vb_done_ = true;
      host_->vbStopMaking();
    }
  }

  // A page being edited is not wanted any more: the worker's result is
  // dropped when it comes back.
  void CancelJob() {
    if (!job_) return;
    job_->Cancel();
    job_.reset();
  }

  // Tells Squid that adapted bytes wait, once it has asked for them.
  void NoteAbAvailable() {
    if (host_ && ab_made_) host_->noteAbContentAvailable();
  }

  libecap::host::Xaction* host_;
  std::shared_ptr<RulesHolder> rules_;  // until the body is collected
  const size_t limit_;
  FilterPool* const pool_;                  // null: edit on Squid's thread
  std::unique_ptr<PageAssembly> assembly_;  // null: nothing (more) to send
  std::shared_ptr<FilterJob> job_;          // the page while a worker edits it
  bool adapted_ = false;                    // useAdapted was called
  bool ab_made_ = false;                    // Squid asked for the adapted body
  bool vb_done_ = false;                    // the virgin body ended or was given up
};

class Service : public libecap::adapter::Service {
 public:
  std::string uri() const override { return kServiceUri; }
  std::string tag() const override { return "cvie-2.2"; }
  void describe(std::ostream& os) const override { os << "Corvane Filter page filter"; }
  bool makesAsyncXactions() const override { return true; }

  void configure(const libecap::Options& cfg) override { Configure(cfg); }
  void reconfigure(const libecap::Options& cfg) override { Configure(cfg); }

  void start() override { StartThreads(); }
  void stop() override { StopThreads(); }
  void retire() override { StopThreads(); }

  // Squid's event loop: pages edited since the last turn go back to their
  // transactions.
  void resume() override { pool_.DeliverFinished(); }

  // While pages are being edited, Squid looks again within a millisecond.
  void suspend(timeval& timeout) override {
    if (pool_.pending() == 0) return;
    if (timeout.tv_sec > 0 || timeout.tv_usec > kEditingPollUsec) {
      timeout.tv_sec = 0;
      timeout.tv_usec = kEditingPollUsec;
    }
  }

  bool wantsUrl(const char*) const override { return true; }

  MadeXactionPointer makeXaction(libecap::host::Xaction* host) override {
    // A no-op unless this worker was forked from the configuring process.
    StartThreads();
    return MadeXactionPointer(
        new Xaction(host, rules_.Current(), limit_, threads_ > 0 ? &pool_ : nullptr));
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
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const std::string wanted = cfg.option(libecap::Name("filter_threads")).toString();
    if (!wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos &&
        wanted.size() <= 3) {
      threads =
          std::min(256u, static_cast<unsigned>(strtoul(wanted.c_str(), nullptr, 10)));
    }
    if (threads != threads_) {
      // A changed count takes effect now: the running workers finish their
      // pages first.
      StopThreads();
      threads_ = threads;
    }
    // Squid plays the browser here: its pages are filtered.
    platform::DeclareBrowserProcess(true);
    StartThreads();
  }

  void StartThreads() {
    rules_.Start();
    if (threads_ > 0) pool_.Start(threads_);
  }

  // The workers finish the pages they have, then end; those pages go back to
  // their transactions now, as Squid may not call resume() again before it
  // starts the service anew.
  void StopThreads() {
    rules_.Stop();
    pool_.Stop();
    pool_.DeliverFinished();
  }

  RulesWatch rules_;
  FilterPool pool_;
  size_t limit_ = 32u << 20;
  unsigned threads_ = 0;
  bool root_set_ = false;
};

const bool kRegistered = libecap::RegisterVersionedService(new Service);

}  // namespace
}  // namespace cvie::ecap
