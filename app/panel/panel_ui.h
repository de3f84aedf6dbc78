// app/panel/panel_ui.h
//
// The ui layer of the control panel. The panel plays the browser window's
// thread: commands chosen in the panel run one at a time on the window thread
// (Run), where a modal dialog stays open inside DoModal until the person
// closes it from the page; everything that reads or changes the open dialog
// is sent to that thread (Act), so the dialog has one owner. Message boxes
// from any thread (the update worker's) become notices; a question
// (Yes/No, OK/Cancel) waits until it is answered in the panel, or until the
// panel closes (then No or Cancel).
//
// Thread safety: every method may be called from any thread.

#pragma once

#include <stdint.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui.h"

namespace cvie::panel {

class PanelUi : public platform::Ui {
 public:
  struct Notice {
    uint64_t id;
    std::wstring caption;
    std::wstring text;
  };
  struct Question {
    uint64_t id;
    std::wstring caption;
    std::wstring text;
    UINT type;  // MB_YESNO, MB_OKCANCEL, MB_YESNOCANCEL
  };

  // `question_timeout_ms`: how long an unanswered question waits.
  explicit PanelUi(int question_timeout_ms = 10 * 60 * 1000);
  // Closes the panel first (see Close) and ends the window thread.
  ~PanelUi() override;
  PanelUi(const PanelUi&) = delete;
  PanelUi& operator=(const PanelUi&) = delete;

  // Runs `job` on the window thread. Waits until it has finished, or a
  // dialog or a question is waiting for the person, or `wait_ms` passed.
  // True when the job has finished.
  bool Run(std::function<void()> job, int wait_ms);

  // Runs `action` on the window thread against the open dialog; its result
  // 0 keeps the dialog open, IDOK or IDCANCEL closes it with that result.
  // False when no dialog is open or the action did not run within `wait_ms`.
  bool Act(std::function<int(platform::ModalDialog*)> action, int wait_ms);
  bool dialog_open() const;
  // Waits until no dialog is open (its OK or Cancel fully handled) or
  // `wait_ms` passed; true when none is open.
  bool WaitDialogClosed(int wait_ms);

  // The panel closes: a question waiting now or asked later is refused (No or
  // Cancel) at once, an open dialog is cancelled, and Run takes no further
  // job. Lets a thread blocked on a question (the update worker's) go before
  // the process ends.
  void Close();

  std::vector<Notice> Notices() const;
  void DismissNotice(uint64_t id);
  // Adds a notice of the panel's own (e.g. a page a command wants opened).
  void AddNotice(const std::wstring& caption, const std::wstring& text);
  std::vector<Question> Questions() const;
  // False when no such question waits.
  bool Answer(uint64_t id, int answer);

  // platform::Ui
  int MessageBox(platform::HWND owner, const std::wstring& text,
                 const std::wstring& caption, UINT type) override;
  UINT TrackPopupMenu(const platform::PopupMenu& menu, UINT flags, int x, int y,
                      platform::HWND owner) override;
  int DoModal(platform::ModalDialog* dialog, platform::HWND owner) override;

 private:
  struct PendingQuestion {
    Question question;
    int answer = 0;
    bool answered = false;
  };
  struct Action {
    std::function<int(platform::ModalDialog*)> run;
    bool done = false;
  };
  void WindowLoop();

  const int question_timeout_ms_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool stopping_ = false;
  uint64_t next_id_ = 1;
  std::deque<std::function<void()>> jobs_;
  uint64_t jobs_done_ = 0;
  uint64_t jobs_queued_ = 0;
  bool in_dialog_ = false;
  std::deque<std::shared_ptr<Action>> actions_;
  std::vector<Notice> notices_;
  std::vector<std::shared_ptr<PendingQuestion>> questions_;
  std::thread window_;
};

}  // namespace cvie::panel
