// UiSystem: what the machine owns of user32/comctl32, and what tests and
// scripts use to act as the user and to observe the screen.
#include <stdexcept>

#include "ui_internal.h"

namespace sim {
namespace {

constexpr LPARAM kAltContext = LPARAM{1} << 29;
constexpr LPARAM kKeyUpBits = (LPARAM{1} << 30) | (LPARAM{1} << 31);

const Window* NewestBox(const UiState& ui) {
  const Window* newest = nullptr;
  for (const auto& [key, w] : ui.windows) {
    if (w->alive && w->kind == WindowKind::kMessageBox && !w->boxPressed) newest = w.get();
  }
  return newest;
}

}  // namespace

UiSystem::UiSystem(Machine& machine) : state_(std::make_unique<UiState>(machine)) {}
UiSystem::~UiSystem() = default;

bool UiSystem::LoadResources(std::span<const std::uint8_t> res, std::string* error) {
  return state_->resources.Load(res, error);
}
void UiSystem::HideString(UINT id) { state_->hiddenStrings.insert(id); }
void UiSystem::SetSystemMenuAvailable(bool available) { state_->systemMenuAvailable = available; }
void UiSystem::SetSystemMetric(int index, int value) { state_->metrics[index] = value; }
void UiSystem::SetIconicClientSize(int width, int height) {
  state_->iconicWidth = width;
  state_->iconicHeight = height;
}
void UiSystem::SetKeyDown(int vk, bool down) { SetKeyState(*state_, vk, down); }
void UiSystem::SetScreens(std::vector<Screen> screens) {
  if (screens.empty()) throw std::logic_error("SetScreens: a machine has at least one screen");
  state_->screens = std::move(screens);
}

// ---- input ------------------------------------------------------------------------------
bool UiSystem::Click(HWND window) {
  UiState& ui = *state_;
  ui.Require(window);
  if (!InputReachable(ui, window)) return false;
  PostTo(ui, window, WM_LBUTTONDOWN, 1 /* MK_LBUTTON */, 0, QueuedKind::kMouse);
  PostTo(ui, window, WM_LBUTTONUP, 0, 0, QueuedKind::kMouse);
  return true;
}

void UiSystem::Key(int vk) {
  UiState& ui = *state_;
  HWND target = ui.focus != nullptr && ui.TopLevel(ui.focus) == ui.active ? ui.focus : ui.active;
  if (ui.Find(target) == nullptr) throw std::logic_error("Key: no window is active");
  bool alt = ui.keys[VK_MENU];
  WPARAM key = static_cast<WPARAM>(vk);
  LPARAM context = alt ? kAltContext : 0;
  PostTo(ui, target, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key, 1 | context, QueuedKind::kKey);
  PostTo(ui, target, alt ? WM_SYSKEYUP : WM_KEYUP, key, 1 | context | kKeyUpBits, QueuedKind::kKey);
}

void UiSystem::KeyAltF4() {
  UiState& ui = *state_;
  HWND target = ui.focus != nullptr && ui.TopLevel(ui.focus) == ui.active ? ui.focus : ui.active;
  if (ui.Find(target) == nullptr) throw std::logic_error("KeyAltF4: no window is active");
  PostTo(ui, target, WM_SYSKEYDOWN, VK_F4, 1 | kAltContext, QueuedKind::kKey);
  PostTo(ui, target, WM_SYSKEYUP, VK_F4, 1 | kAltContext | kKeyUpBits, QueuedKind::kKey);
}

bool UiSystem::SysCommand(HWND window, UINT id) {
  UiState& ui = *state_;
  ui.Require(window);
  HWND top = ui.TopLevel(window);
  const Window* t = ui.Find(top);
  if (t == nullptr || (t->style & WS_DISABLED)) return false;
  bool found = false;
  for (const MenuItem& item : MenuItems(top)) {
    if (!(item.flags & MF_SEPARATOR) && item.id == id) found = true;
  }
  if (!found) throw std::logic_error("SysCommand: the system menu has no item " + Hex(id));
  PostTo(ui, top, WM_SYSCOMMAND, id, 0, QueuedKind::kPosted);
  return true;
}

bool UiSystem::CloseBox(HWND window) {
  UiState& ui = *state_;
  ui.Require(window);
  HWND top = ui.TopLevel(window);
  const Window* t = ui.Find(top);
  if (t == nullptr || (t->style & WS_DISABLED) || !(t->style & WS_SYSMENU)) return false;
  PostTo(ui, top, WM_SYSCOMMAND, SC_CLOSE, 0, QueuedKind::kPosted);
  return true;
}

void UiSystem::PostClose(HWND window) { Post(window, WM_CLOSE, 0, 0); }

void UiSystem::Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  state_->Require(window);
  PostTo(*state_, window, message, wParam, lParam, QueuedKind::kPosted);
}

std::size_t UiSystem::SendFromOtherProgram(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
  UiState& ui = *state_;
  ui.Require(window);
  const std::size_t index = ui.otherProgramSends.size();
  OtherProgramSend send;
  send.window = window;
  send.message = message;
  send.wParam = wParam;
  send.lParam = lParam;
  send.sentAt = Now();
  ui.otherProgramSends.push_back(send);
  // The record is looked up again after the call: later sends may move it.
  ui.otherProgramSends[index].thread = StartOtherProgramThread([&ui, index, send] {
    const LRESULT result = SendMessageA(send.window, send.message, send.wParam, send.lParam);
    ui.otherProgramSends[index].result = result;
    ui.otherProgramSends[index].returnedAt = Now();
  });
  return index;
}

void UiSystem::PressBoxButton(int id) {
  UiState& ui = *state_;
  const Window* box = NewestBox(ui);
  if (box == nullptr) throw std::logic_error("PressBoxButton: no message box is open");
  std::vector<int> buttons = BoxButtons(ui.boxes[box->boxIndex].style);
  if (std::find(buttons.begin(), buttons.end(), id) == buttons.end()) {
    throw std::logic_error("PressBoxButton: the box has no button " + std::to_string(id));
  }
  ui.Find(box->handle)->boxPressed = id;
  PostTo(ui, box->handle, WM_NULL, 0, 0, QueuedKind::kPosted);  // wakes its modal loop
}

void UiSystem::Minimize(HWND window) {
  Window& w = state_->Require(window);
  if (!w.alive) return;
  w.iconic = true;
  MarkInvalid(*state_, w);
}
void UiSystem::Restore(HWND window) {
  Window& w = state_->Require(window);
  if (!w.alive) return;
  w.iconic = false;
  MarkInvalid(*state_, w);
}
void UiSystem::Invalidate(HWND window) {
  Window& w = state_->Require(window);
  if (w.alive) MarkInvalid(*state_, w);
}

// ---- observation ----------------------------------------------------------------------
HWND UiSystem::Dialog(int templateId) const {
  HWND newest = nullptr;
  for (const auto& [key, w] : state_->windows) {
    if (w->alive && w->kind == WindowKind::kDialog && w->templateId == templateId) {
      newest = w->handle;
    }
  }
  return newest;
}

HWND UiSystem::Item(HWND dialog, int id) const {
  const Window& d = state_->Require(dialog);
  for (HWND c : d.children) {
    const Window* w = state_->FindAny(c);
    if (w != nullptr && w->id == id) return c;
  }
  throw std::logic_error("window " + Hex(reinterpret_cast<std::uintptr_t>(dialog)) +
                         " has no control " + std::to_string(id));
}

std::string UiSystem::Text(HWND window) const { return state_->Require(window).text; }
bool UiSystem::Enabled(HWND window) const { return !(state_->Require(window).style & WS_DISABLED); }
bool UiSystem::Visible(HWND window) const {
  for (const Window* w = &state_->Require(window); w != nullptr;
       w = (w->style & WS_CHILD) ? state_->FindAny(w->parent) : nullptr) {
    if (!w->alive || !(w->style & WS_VISIBLE)) return false;
  }
  return true;
}
ProgressInfo UiSystem::Progress(HWND window) const {
  const Window& w = state_->Require(window);
  if (w.kind != WindowKind::kProgress) throw std::logic_error("not a progress bar");
  return w.progress;
}
const std::vector<MessageBoxRecord>& UiSystem::Boxes() const { return state_->boxes; }
std::optional<MessageBoxRecord> UiSystem::OpenBox() const {
  const Window* box = NewestBox(*state_);
  if (box == nullptr) return std::nullopt;
  return state_->boxes[box->boxIndex];
}
std::string UiSystem::Cursor() const { return state_->waitCursor ? "wait" : "normal"; }
std::vector<MenuItem> UiSystem::MenuItems(HWND window) const {
  const Window& w = state_->Require(window);
  auto it = state_->menus.find(reinterpret_cast<std::uintptr_t>(w.sysMenu));
  return it != state_->menus.end() ? it->second.items : StandardSystemMenu();
}
HICON UiSystem::Icon(HWND window, bool big) const {
  const Window& w = state_->Require(window);
  return big ? w.iconBig : w.iconSmall;
}
HWND UiSystem::Owner(HWND window) const { return state_->Require(window).owner; }
bool UiSystem::IsIconic(HWND window) const { return state_->Require(window).iconic; }
HWND UiSystem::ActiveWindow() const { return state_->active; }
HWND UiSystem::Focus() const { return state_->focus; }
bool UiSystem::IsLive(HWND window) const { return state_->Find(window) != nullptr; }
std::size_t UiSystem::PendingSentMessages(DWORD thread) const {
  auto it = state_->queues.find(thread);
  return it == state_->queues.end() ? 0 : it->second->sent.size();
}
const std::vector<OtherProgramSend>& UiSystem::OtherProgramSends() const {
  return state_->otherProgramSends;
}
int UiSystem::IconResourceId(HICON icon) const {
  auto it = state_->iconIds.find(icon);
  return it == state_->iconIds.end() ? 0 : it->second;
}

std::unique_ptr<UiSystem> MakeUiSystem(Machine& machine) {
  return std::make_unique<UiSystem>(machine);
}

void OnRunEnd(UiSystem& ui) {
  UiState& s = ui.State();
  for (auto& [thread, q] : s.queues) {
    for (auto& sent : q->sent) sent->done = true;
  }
  s.queues.clear();
  // The process is gone and its windows with it; their last state stays
  // readable for the test.
  for (auto& [key, w] : s.windows) w->alive = false;
  s.active = nullptr;
  s.focus = nullptr;
  s.menus.clear();
  s.commonControls = 0;
}

}  // namespace sim
