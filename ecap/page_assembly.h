// ecap/page_assembly.h
//
// The Squid adapter's body path, without Squid: which answers the adapter
// takes the body of (WantsBody), and one answer's body collected, decoded
// when it carries a content coding, filtered, or passed on unchanged
// (PageAssembly). The eCAP transaction (cvie_ecap.cc) only moves bytes and
// headers between Squid and this class; the tests and the fuzz target drive
// it directly.
//
// Memory: at most `limit` bytes as received plus `limit` decoded bytes (and
// the decoders' windows, platform/content_decoding.h) are held at once; an
// answer that would need more passes on unchanged. A page is never sent
// filtered unless all of it arrived and decoded cleanly.
//
// Threads: one object per answer, used by one thread at a time; many
// objects may filter pages on different threads at once.

#pragma once

#include <stddef.h>

#include <memory>
#include <string>

namespace cvie {
class CEasyBuffer;
class RulesHolder;
}  // namespace cvie

namespace cvie::platform {
class ContentDecoder;
}  // namespace cvie::platform

namespace cvie::ecap {

// What the adapter looks at in an answer before its body.
struct AnswerHead {
  bool is_get = false;           // the request's method is GET
  bool has_body = false;         // the answer has a body
  std::string content_type;      // the Content-Type value
  std::string content_encoding;  // the Content-Encoding values, joined by commas
  std::string content_length;    // the Content-Length value; empty when absent
};

// True when the body of the answer is worth collecting: a GET answered with a
// "text/html" body, coded only with codings the decoder undoes, and not
// declared longer than `limit` bytes. Whether the page address is filtered is
// asked separately (PageIsFiltered, ie/page_filter.h).
bool WantsBody(const AnswerHead& head, size_t limit);

// The bytes an answer has to send and Squid has not taken yet, in order:
// a string of their own while the body passes as received, or the edited
// page in the block the editor wrote it to (sent from there, not copied).
class PendingBytes {
 public:
  PendingBytes();
  ~PendingBytes();
  PendingBytes(const PendingBytes&) = delete;
  PendingBytes& operator=(const PendingBytes&) = delete;

  const char* data() const;
  size_t size() const;
  bool empty() const { return size() == 0; }
  // Drops the first `count` bytes (those sent); at most size().
  void Skip(size_t count);
  void Clear();

  // Appends after what is pending.
  void Append(const char* data, size_t size);
  // What is pending becomes `text`, or the block's contents.
  void Assign(std::string text);
  void Assign(std::unique_ptr<CEasyBuffer> block);

 private:
  std::string text_;
  std::unique_ptr<CEasyBuffer> block_;  // when set, the bytes are its contents
  size_t skipped_ = 0;                  // bytes at the front already sent
};

class PageAssembly {
 public:
  enum class State {
    kCollecting,  // the body is being collected; nothing goes out yet
    kPassing,     // the body goes on as received, under the answer's own
                  // headers: out() holds what came so far, then each new piece
    kFiltered,    // out() holds the whole edited page, not coded: send it
                  // without Content-Encoding, with Content-Length out().size(),
                  // "Cache-Control: no-store" and no validators
    kUnchanged,   // out() holds the whole body as received (not filtered, or
                  // the editor failed, or the coded data was broken): send it
                  // under the answer's headers with Content-Length out().size()
    kCut,         // the answer ended short: out() holds what came, as
                  // received; it ends cut as the origin cut it
  };

  // For the body of a page at `url` (absolute, UTF-8) whose Content-Encoding
  // is `content_encoding` (WantsBody said yes to it), filtered with `rules`
  // (null: the process-wide rules) when it is whole within `limit` bytes.
  PageAssembly(std::string url, const std::string& content_encoding, size_t limit,
               std::shared_ptr<RulesHolder> rules);
  ~PageAssembly();
  PageAssembly(const PageAssembly&) = delete;
  PageAssembly& operator=(const PageAssembly&) = delete;

  // Makes room for a body the answer declares `declared` bytes long (its
  // Content-Length), so that collecting it copies each byte once. Ignored
  // past the limit, and once pieces came.
  void Reserve(size_t declared);

  // Takes the next piece of the body as received. While collecting, a piece
  // that takes the body (as received or decoded) past the limit, or coded
  // data found broken, turns the state to kPassing with everything received
  // in out(). While passing, the piece is appended to out(). Ignored in the
  // final states.
  State Add(const char* data, size_t size);

  // The body ended: `at_end` true when it ended where the answer said it
  // would, false when it was cut short. While collecting, this decides the
  // final state (running the editor over a whole page); while passing, the
  // state stays kPassing.
  State End(bool at_end);

  State state() const { return state_; }
  // Bytes to send, in order; the caller skips what it has sent.
  PendingBytes& out() { return out_; }

 private:
  // Decodes what the decoder was fed into page_; false when the decoded page
  // passes the limit or the data is broken.
  bool DecodePending();
  void PassOn();
  State Finish();

  std::string url_;
  size_t limit_;
  std::shared_ptr<RulesHolder> rules_;  // the holder in force when the page came
  std::unique_ptr<platform::ContentDecoder> decoder_;  // null: the body is not coded
  std::string raw_;   // the body as received, while collecting a coded one
  std::string page_;  // the page (decoded) collected so far
  PendingBytes out_;
  State state_ = State::kCollecting;
};

}  // namespace cvie::ecap
