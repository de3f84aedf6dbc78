#include "panel/panel_ui.h"

#include <chrono>

namespace cvie::panel {

using platform::IDCANCEL;
using platform::IDNO;
using platform::IDOK;

PanelUi::PanelUi(int question_timeout_ms)
    : question_timeout_ms_(question_timeout_ms), window_([this] { WindowLoop(); }) {}

PanelUi::~PanelUi() {
  Close();
  window_.join();
}

void PanelUi::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
}

void PanelUi::WindowLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
    ++jobs_done_;
    cv_.notify_all();
  }
}

bool PanelUi::Run(std::function<void()> job, int wait_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  if (stopping_) return false;
  jobs_.push_back(std::move(job));
  uint64_t mine = ++jobs_queued_;
  cv_.notify_all();
  auto waiting_for_person = [this] {
    for (const auto& q : questions_)
      if (!q->answered) return true;
    return in_dialog_;
  };
  cv_.wait_for(lock, std::chrono::milliseconds(wait_ms),
               [&] { return jobs_done_ >= mine || waiting_for_person(); });
  return jobs_done_ >= mine;
}

bool PanelUi::Act(std::function<int(platform::ModalDialog*)> run, int wait_ms) {
  auto action = std::make_shared<Action>();
  action->run = std::move(run);
  std::unique_lock<std::mutex> lock(mu_);
  if (!in_dialog_) return false;
  actions_.push_back(action);
  cv_.notify_all();
  cv_.wait_for(lock, std::chrono::milliseconds(wait_ms),
               [&] { return action->done || !in_dialog_; });
  return action->done;
}

bool PanelUi::WaitDialogClosed(int wait_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                      [this] { return !in_dialog_; });
}

bool PanelUi::dialog_open() const {
  std::lock_guard<std::mutex> lock(mu_);
  return in_dialog_;
}

int PanelUi::DoModal(platform::ModalDialog* dialog, platform::HWND) {
  if (!dialog) return IDCANCEL;
  dialog->OnInitDialog();
  int result = 0;
  {
    std::unique_lock<std::mutex> lock(mu_);
    in_dialog_ = true;
    cv_.notify_all();
    while (result == 0) {
      cv_.wait(lock, [this] { return stopping_ || !actions_.empty(); });
      if (actions_.empty()) {
        result = IDCANCEL;  // the panel closes
        break;
      }
      std::shared_ptr<Action> action = actions_.front();
      actions_.pop_front();
      lock.unlock();
      int r = action->run(dialog);
      lock.lock();
      action->done = true;
      if (r != 0) result = r;
      cv_.notify_all();
    }
    // Actions sent after the close find no dialog.
    actions_.clear();
  }
  dialog->OnEndDialog(result);
  {
    std::lock_guard<std::mutex> lock(mu_);
    in_dialog_ = false;
    actions_.clear();
  }
  cv_.notify_all();
  return result;
}

std::vector<PanelUi::Notice> PanelUi::Notices() const {
  std::lock_guard<std::mutex> lock(mu_);
  return notices_;
}

void PanelUi::DismissNotice(uint64_t id) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = notices_.begin(); it != notices_.end(); ++it) {
    if (it->id == id) {
      notices_.erase(it);
      return;
    }
  }
}

void PanelUi::AddNotice(const std::wstring& caption, const std::wstring& text) {
  std::lock_guard<std::mutex> lock(mu_);
  notices_.push_back({next_id_++, caption, text});
  // Keep the list short: the oldest go first.
  if (notices_.size() > 20) notices_.erase(notices_.begin());
}

std::vector<PanelUi::Question> PanelUi::Questions() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<Question> out;
  for (const auto& q : questions_)
    if (!q->answered) out.push_back(q->question);
  return out;
}

bool PanelUi::Answer(uint64_t id, int answer) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& q : questions_) {
    if (q->question.id == id && !q->answered) {
      q->answer = answer;
      q->answered = true;
      cv_.notify_all();
      return true;
    }
  }
  return false;
}

int PanelUi::MessageBox(platform::HWND, const std::wstring& text,
                        const std::wstring& caption, UINT type) {
  UINT kind = type & platform::MB_TYPEMASK;
  if (kind == platform::MB_OK) {
    AddNotice(caption, text);
    return IDOK;
  }
  int refusal = kind == platform::MB_OKCANCEL ? IDCANCEL : IDNO;
  auto pending = std::make_shared<PendingQuestion>();
  std::unique_lock<std::mutex> lock(mu_);
  if (stopping_) return refusal;
  pending->question = {next_id_++, caption, text, kind};
  questions_.push_back(pending);
  cv_.notify_all();
  cv_.wait_for(lock, std::chrono::milliseconds(question_timeout_ms_),
               [&] { return pending->answered || stopping_; });
  int answer = pending->answered ? pending->answer : refusal;
  pending->answered = true;
  for (auto it = questions_.begin(); it != questions_.end(); ++it) {
    if (*it == pending) {
      questions_.erase(it);
      break;
    }
  }
  return answer;
}

UINT PanelUi::TrackPopupMenu(const platform::PopupMenu&, UINT, int, int, platform::HWND) {
  // The panel renders menus as pages and runs the chosen command itself; a
  // menu asked for here is dismissed.
  return 0;
}

}  // namespace cvie::panel
