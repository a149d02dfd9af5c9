// The Windows wizard: the wizard core's pages in a real window -- one
// window whose page controls are made anew for every page, Back / Next /
// Cancel below them -- plus small question windows for the questions of the
// installation (cancel, a newer existing file, a missing package, restart).
// Every decision is the core's; this file only shows pages and passes the
// user's input in.
//
// Threads: the engine calls the handler on its main thread only, also for
// events of the copy, and keeps dispatching window messages while the copy
// runs, so the window lives on the main thread from the first page to the
// last. Before the installation EV_SHOWDIALOGS runs a modal loop; during it
// the window stays on the progress page without a loop of its own.
//
// Keyboard: the loops pass messages through IsDialogMessage, so Tab moves
// between controls, Enter presses Next (or the first answer), Esc Cancel,
// and Alt with the underlined letter a button or check box.
#include <windows.h>
#include <windowsx.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PluginSession.h"
#include "WizardIds.h"

namespace {

using namespace vxwizwin;
using vxwiz::Page;

enum class Phase { None, Pages, Installing, Finish };

// A question window being shown: its answer, -1 while open (and when the
// window was closed without one).
struct Question {
  HWND window = nullptr;
  bool done = false;
  int answer = -1;
  int cancelAnswer = -1;  // what Esc and closing the window answer
  std::string edit;
  // Runs at the moment of the answer, before any waiting event of the copy
  // goes on (the abort of a confirmed Cancel).
  std::function<void(int)> onAnswer;
};

struct State {
  HINSTANCE module = nullptr;
  vxwiz::PluginSession session;

  HWND window = nullptr;
  HFONT font = nullptr;
  HIMAGELIST checks = nullptr;
  std::vector<HWND> page;  // the current page's controls
  Phase phase = Phase::None;
  bool loopDone = false;
  bool cancelled = false;
  bool installSucceeded = true;
  Question* question = nullptr;
  bool classesRegistered = false;
};

State g;

const int kWidth = 540, kHeight = 400;  // client area of the wizard window

vxwiz::Wizard& Wizard() { return g.session.Get(); }

// Line breaks as edit and static controls want them.
std::string CrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

// A button label with a mnemonic: its first letter, or with `used` the
// first letter no other button of the window has; "&" of the text itself
// stays visible.
std::string Mnemonic(const std::string& text, std::string* used = nullptr) {
  size_t at = 0;
  if (used) {
    for (size_t i = 0; i < text.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (std::isalnum(c) && used->find(char(std::tolower(c))) == std::string::npos) {
        at = i;
        break;
      }
    }
    if (!text.empty()) *used += char(std::tolower(static_cast<unsigned char>(text[at])));
  }
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == at) out += '&';
    out += text[i] == '&' ? std::string("&&") : std::string(1, text[i]);
  }
  return out;
}

std::string GetText(HWND control) {
  int n = GetWindowTextLengthA(control);
  if (n <= 0) return "";
  std::string s(size_t(n) + 1, '\0');
  n = GetWindowTextA(control, &s[0], n + 1);
  s.resize(size_t(n > 0 ? n : 0));
  return s;
}

void SetText(int id, const std::string& text) {
  if (HWND c = GetDlgItem(g.window, id)) SetWindowTextA(c, CrLf(text).c_str());
}

HFONT Font() {
  if (!g.font) {
    // The project's character set (variable "Charset"), so that texts of
    // the language file show in the right script.
    int charset = DEFAULT_CHARSET;
    std::string value = g.session.Link() ? g.session.Link()->Variable("Charset") : "";
    if (!value.empty()) charset = std::atoi(value.c_str()) & 0xFF;
    HDC dc = GetDC(nullptr);
    int height = -MulDiv(8, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(nullptr, dc);
    g.font = CreateFontA(height, 0, 0, 0, FW_NORMAL, 0, 0, 0, DWORD(charset), OUT_DEFAULT_PRECIS,
                         CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "MS Shell Dlg");
  }
  return g.font;
}

HWND Make(HWND parent, const char* cls, const std::string& text, DWORD style, int x, int y, int w, int h, int id,
          DWORD exStyle = 0) {
  HWND c = CreateWindowExA(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g.module, nullptr);
  if (c) SendMessageA(c, WM_SETFONT, WPARAM(Font()), TRUE);
  return c;
}

// A control of the current page.
HWND Add(const char* cls, const std::string& text, DWORD style, int x, int y, int w, int h, int id,
         DWORD exStyle = 0) {
  HWND c = Make(g.window, cls, text, style, x, y, w, h, id, exStyle);
  if (c) g.page.push_back(c);
  return c;
}

HWND Label(const std::string& text, int x, int y, int w, int h, int id) {
  return Add("STATIC", CrLf(text), SS_LEFT | SS_NOPREFIX, x, y, w, h, id);
}

void ClearPage() {
  for (HWND c : g.page) DestroyWindow(c);
  g.page.clear();
}

// --- Question windows -------------------------------------------------------------------

void PumpOne();

void Answered(HWND hwnd, Question& q) {
  q.done = true;
  if (q.onAnswer) q.onAnswer(q.answer);
  // The loop that waits for the answer may sit in GetMessage while sent
  // messages (events of the copy) are handled: wake it.
  PostMessageA(hwnd, WM_NULL, 0, 0);
}

LRESULT CALLBACK QuestionProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  Question* q = reinterpret_cast<Question*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  switch (msg) {
    case DM_GETDEFID: return MAKELONG(kIdAnswer, DC_HASDEFID);
    case WM_COMMAND:
      if (!q || q->done) break;
      if (LOWORD(wp) >= kIdAnswer && LOWORD(wp) < kIdAnswer + 8) {
        q->answer = LOWORD(wp) - kIdAnswer;
      } else if (LOWORD(wp) == IDCANCEL) {
        q->answer = q->cancelAnswer;
      } else {
        break;
      }
      if (HWND e = GetDlgItem(hwnd, kIdQuestionEdit)) q->edit = GetText(e);
      Answered(hwnd, *q);
      return 0;
    case WM_CLOSE:
      if (q && !q->done) {
        q->answer = q->cancelAnswer;
        Answered(hwnd, *q);
      }
      return 0;
    default: break;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

// Shows `text` with one button per answer (and an edit box when `edit` is
// given) and waits for the user. Returns the answer's index; Esc and
// closing the window give `cancelAnswer`.
int Ask(const std::string& text, const std::vector<std::string>& answers, int cancelAnswer,
        std::string* edit = nullptr, std::function<void(int)> onAnswer = {}) {
  Question q;
  q.cancelAnswer = cancelAnswer;
  q.onAnswer = std::move(onAnswer);
  const int width = 460, margin = 14, buttonH = 26;
  // Buttons side by side when their labels fit, else one below the other.
  HDC dc = GetDC(nullptr);
  HGDIOBJ old = SelectObject(dc, Font());
  int buttonW = 90;
  for (const std::string& a : answers) {
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, a.c_str(), int(a.size()), &size);
    buttonW = std::max<int>(buttonW, size.cx + 24);
  }
  int count = int(answers.size());
  bool stacked = count * (buttonW + 8) - 8 > width - 2 * margin;
  if (stacked) buttonW = width - 2 * margin;
  int total = stacked ? buttonW : count * (buttonW + 8) - 8;
  int buttonsH = stacked ? count * (buttonH + 6) - 6 : buttonH;
  // The text's height, cut at a size that still fits the screen.
  std::string shown = CrLf(text);
  RECT r = {0, 0, width - 2 * margin, 0};
  DrawTextA(dc, shown.c_str(), int(shown.size()), &r, DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
  int textH = std::min<int>(std::max<int>(r.bottom, 16), 300);
  int editH = edit ? 24 + 8 : 0;
  int height = margin + textH + 10 + editH + buttonsH + margin;

  RECT frame = {0, 0, width, height};
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
  AdjustWindowRectEx(&frame, style, FALSE, WS_EX_DLGMODALFRAME);
  HWND owner = g.window && IsWindow(g.window) ? g.window : nullptr;
  int fw = frame.right - frame.left, fh = frame.bottom - frame.top;
  int x = (GetSystemMetrics(SM_CXSCREEN) - fw) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - fh) / 2;
  std::string title = Wizard().Text("Title");
  HWND w = CreateWindowExA(WS_EX_DLGMODALFRAME, kQuestionClass, title.c_str(), style, x, y, fw, fh, owner, nullptr,
                           g.module, nullptr);
  if (!w) return cancelAnswer;
  q.window = w;
  SetWindowLongPtrA(w, GWLP_USERDATA, LONG_PTR(&q));
  Make(w, "STATIC", shown, SS_LEFT | SS_NOPREFIX | SS_EDITCONTROL, margin, margin, width - 2 * margin, textH,
       kIdQuestionText);
  HWND first = nullptr;
  if (edit) {
    first = Make(w, "EDIT", *edit, WS_TABSTOP | ES_AUTOHSCROLL, margin, margin + textH + 8, width - 2 * margin, 24,
                 kIdQuestionEdit, WS_EX_CLIENTEDGE);
    SendMessageA(first, EM_LIMITTEXT, 1024, 0);
  }
  int bx = (width - total) / 2, by = height - margin - buttonsH;
  std::string used;
  for (size_t i = 0; i < answers.size(); ++i) {
    int at = int(i);
    HWND b = Make(w, "BUTTON", Mnemonic(answers[i], &used), WS_TABSTOP | (i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON),
                  stacked ? bx : bx + at * (buttonW + 8), stacked ? by + at * (buttonH + 6) : by, buttonW, buttonH,
                  kIdAnswer + at);
    if (!first) first = b;
  }
  if (owner) EnableWindow(owner, FALSE);
  ShowWindow(w, SW_SHOW);
  SetForegroundWindow(w);
  if (first) SetFocus(first);
  Question* outer = g.question;
  g.question = &q;
  while (!q.done && IsWindow(w)) PumpOne();
  g.question = outer;
  if (owner) {
    EnableWindow(owner, TRUE);
    SetActiveWindow(owner);
  }
  if (IsWindow(w)) DestroyWindow(w);
  if (edit) *edit = q.edit;
  return q.answer;
}

bool AskYesNo(const std::string& text, std::function<void(int)> onAnswer = {}) {
  vxwiz::Wizard& w = Wizard();
  return Ask(text, {w.Text("Yes"), w.Text("No")}, 1, nullptr, std::move(onAnswer)) == 0;
}

// An event of the copy that arrives while a question is open waits for its
// answer, so that the copy does not go on behind a "cancel?" question.
void WaitForQuestion() {
  while (g.question && !g.question->done) PumpOne();
}

// One message of the thread, through the dialog manager of the window it
// belongs to. A WM_QUIT is put back for the loop that owns it, and ends
// every wizard loop as Cancel.
void PumpOne() {
  MSG m;
  BOOL got = GetMessageA(&m, nullptr, 0, 0);
  if (got <= 0) {
    PostQuitMessage(int(m.wParam));
    if (g.question) g.question->done = true;
    g.loopDone = true;
    g.cancelled = true;
    return;
  }
  HWND dialog = g.question ? g.question->window : g.window;
  if (dialog && IsWindow(dialog) && IsDialogMessageA(dialog, &m)) return;
  TranslateMessage(&m);
  DispatchMessageA(&m);
}

// --- Pages --------------------------------------------------------------------------------

// Page controls are created after the buttons, so Tab would reach the
// buttons first: move the buttons behind them.
void ButtonsLast() {
  for (int id : {kIdBack, kIdNext, kIdCancel})
    SetWindowPos(GetDlgItem(g.window, id), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void SetButtons(bool back, bool next, bool cancel, const std::string& nextText) {
  HWND b = GetDlgItem(g.window, kIdBack), n = GetDlgItem(g.window, kIdNext), c = GetDlgItem(g.window, kIdCancel);
  EnableWindow(b, back);
  EnableWindow(n, next);
  EnableWindow(c, cancel);
  SetWindowTextA(n, Mnemonic(nextText).c_str());
  ButtonsLast();
}

void ShowMessage(const std::string& text) {
  SetText(kIdMessage, text);
  if (!text.empty()) MessageBeep(MB_ICONWARNING);
}

void UpdateSpace() {
  HWND edit = GetDlgItem(g.window, kIdDestEdit);
  if (edit) SetText(kIdSpace, Wizard().SpaceLine(GetText(edit)));
}

void ShowTypeDescription() {
  vxwiz::Wizard& w = Wizard();
  int i = w.SelectedInstallType();
  SetText(kIdTypeDescription, i >= 0 && size_t(i) < w.InstallTypes().size() ? w.InstallTypes()[size_t(i)].description
                                                                              : "");
}

HIMAGELIST CheckImages() {
  if (g.checks) return g.checks;
  // State images 1 off, 2 on, 3 partly on (image 0 is never shown).
  const int n = 4, s = 16;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, n * s, s);
  HGDIOBJ old = SelectObject(dc, bmp);
  RECT all = {0, 0, n * s, s};
  FillRect(dc, &all, GetSysColorBrush(COLOR_WINDOW));
  UINT states[] = {0, DFCS_BUTTONCHECK | DFCS_FLAT, DFCS_BUTTONCHECK | DFCS_CHECKED | DFCS_FLAT,
                   DFCS_BUTTONCHECK | DFCS_CHECKED | DFCS_INACTIVE | DFCS_FLAT};
  for (int i = 1; i < n; ++i) {
    RECT r = {i * s + 1, 1, i * s + s - 1, s - 1};
    DrawFrameControl(dc, &r, DFC_BUTTON, states[i]);
  }
  SelectObject(dc, old);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  g.checks = ImageList_Create(s, s, ILC_COLOR24, n, 0);
  ImageList_Add(g.checks, bmp, nullptr);
  DeleteObject(bmp);
  return g.checks;
}

void RefreshTree() {
  HWND tree = GetDlgItem(g.window, kIdFeatureTree);
  if (!tree) return;
  const auto& rows = Wizard().Features();
  HTREEITEM item = TreeView_GetRoot(tree);
  // Depth-first over the tree gives the rows' order.
  size_t index = 0;
  while (item && index < rows.size()) {
    TVITEMA tv = {};
    tv.mask = TVIF_STATE;
    tv.hItem = item;
    tv.stateMask = TVIS_STATEIMAGEMASK;
    tv.state = INDEXTOSTATEIMAGEMASK(rows[index].state == 1 ? 2 : rows[index].state == 2 ? 3 : 1);
    SendMessageA(tree, TVM_SETITEMA, 0, LPARAM(&tv));
    ++index;
    HTREEITEM next = TreeView_GetChild(tree, item);
    while (!next && item) {
      next = TreeView_GetNextSibling(tree, item);
      if (!next) item = TreeView_GetParent(tree, item);
    }
    item = next;
  }
}

void ShowFeature(HTREEITEM item) {
  HWND tree = GetDlgItem(g.window, kIdFeatureTree);
  TVITEMA tv = {};
  tv.mask = TVIF_PARAM;
  tv.hItem = item;
  if (!item || !SendMessageA(tree, TVM_GETITEMA, 0, LPARAM(&tv))) return;
  const auto& rows = Wizard().Features();
  size_t i = size_t(tv.lParam);
  if (i >= rows.size()) return;
  SetText(kIdFeatureDescription, rows[i].info.description);
  SetText(kIdFeatureSize, rows[i].size ? Wizard().Text("FeatureSize", {vxwiz::SizeText(rows[i].size)}) : "");
}

void ToggleFeature(HTREEITEM item) {
  HWND tree = GetDlgItem(g.window, kIdFeatureTree);
  TVITEMA tv = {};
  tv.mask = TVIF_PARAM;
  tv.hItem = item;
  if (!item || !SendMessageA(tree, TVM_GETITEMA, 0, LPARAM(&tv))) return;
  vxwiz::Outcome o = Wizard().ToggleFeature(size_t(tv.lParam));
  ShowMessage(o.ok ? "" : o.message);
  RefreshTree();
}

void RenderPage(Page page) {
  vxwiz::Wizard& w = Wizard();
  ClearPage();
  const int x = 20, width = kWidth - 40;
  std::string name = vxwiz::PageName(page);
  std::string heading;
  switch (page) {
    case Page::Welcome: heading = w.Text("Welcome"); break;
    case Page::License: heading = w.Text("License"); break;
    case Page::Destination: heading = w.Text("Destination"); break;
    case Page::InstallType: heading = w.Text("InstallType"); break;
    case Page::Features: heading = w.Text("Features"); break;
    case Page::Password: heading = w.Text("Password"); break;
    case Page::Ready: heading = w.Text("Ready"); break;
    default: break;
  }
  Add("STATIC", name, 0, 0, 0, 0, 0, kIdPageName);
  ShowWindow(g.page.back(), SW_HIDE);
  Label(heading, x, 16, width, 44, kIdHeading);
  HWND focus = nullptr;
  switch (page) {
    case Page::License: {
      // Endless lines (a binary file named by mistake) are broken for the
      // display: laying out such a line costs the edit control (and the
      // text functions below it) far too much. The display stops after
      // 256 KiB: a licence is text, and a file named by mistake must not
      // bring the page (or the system's text drawing) down.
      constexpr size_t kShown = 256 * 1024;
      std::string text;
      size_t run = 0;
      for (char c : w.LicenseText()) {
        if (text.size() >= kShown) {
          text += "\n...";
          break;
        }
        run = c == '\n' ? 0 : run + 1;
        if (run > 1000) {
          text += '\n';
          run = 1;
        }
        text += c;
      }
      HWND e = Add("EDIT", "", WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, x, 64, width, 210,
                   kIdLicense, WS_EX_CLIENTEDGE);
      SendMessageA(e, EM_LIMITTEXT, 0, 0);
      SetWindowTextA(e, CrLf(text).c_str());
      HWND c = Add("BUTTON", Mnemonic(w.Text("LicenseAccept")), WS_TABSTOP | BS_AUTOCHECKBOX, x, 282, width, 22,
                   kIdAccept);
      SendMessageA(c, BM_SETCHECK, w.LicenseAccepted() ? BST_CHECKED : BST_UNCHECKED, 0);
      focus = c;
      break;
    }
    case Page::Destination: {
      focus = Add("EDIT", w.Destination(), WS_TABSTOP | ES_AUTOHSCROLL, x, 70, width - 110, 24, kIdDestEdit,
                  WS_EX_CLIENTEDGE);
      SendMessageA(focus, EM_LIMITTEXT, 1024, 0);
      Add("BUTTON", Mnemonic(w.Text("Browse")), WS_TABSTOP | BS_PUSHBUTTON, x + width - 100, 69, 100, 26, kIdBrowse);
      Label("", x, 104, width, 36, kIdSpace);
      UpdateSpace();
      break;
    }
    case Page::InstallType: {
      focus = Add("LISTBOX", "", WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, x, 64, width, 140,
                  kIdTypeList, WS_EX_CLIENTEDGE);
      for (const auto& t : w.InstallTypes()) SendMessageA(focus, LB_ADDSTRING, 0, LPARAM(t.name.c_str()));
      SendMessageA(focus, LB_SETCURSEL, WPARAM(w.SelectedInstallType()), 0);
      Label("", x, 212, width, 80, kIdTypeDescription);
      ShowTypeDescription();
      break;
    }
    case Page::Features: {
      focus = Add(WC_TREEVIEWA, "", WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS,
                  x, 64, 300, 230, kIdFeatureTree, WS_EX_CLIENTEDGE);
      TreeView_SetImageList(focus, CheckImages(), TVSIL_STATE);
      std::vector<HTREEITEM> parents;
      const auto& rows = w.Features();
      for (size_t i = 0; i < rows.size(); ++i) {
        size_t depth = size_t(std::max(rows[i].info.depth, 0));
        if (depth > parents.size()) depth = parents.size();
        parents.resize(depth);
        TVINSERTSTRUCTA ins = {};
        ins.hParent = parents.empty() ? TVI_ROOT : parents.back();
        ins.hInsertAfter = TVI_LAST;
        ins.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
        ins.item.pszText = const_cast<char*>(rows[i].info.name.c_str());
        ins.item.lParam = LPARAM(i);
        ins.item.stateMask = TVIS_EXPANDED;
        ins.item.state = TVIS_EXPANDED;
        HTREEITEM item = reinterpret_cast<HTREEITEM>(SendMessageA(focus, TVM_INSERTITEMA, 0, LPARAM(&ins)));
        parents.push_back(item);
      }
      Label("", x + 312, 64, width - 312, 180, kIdFeatureDescription);
      Label("", x + 312, 250, width - 312, 40, kIdFeatureSize);
      RefreshTree();
      TreeView_SelectItem(focus, TreeView_GetRoot(focus));
      ShowFeature(TreeView_GetRoot(focus));
      break;
    }
    case Page::Password:
      focus = Add("EDIT", "", WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD, x, 70, width / 2, 24, kIdPassword,
                  WS_EX_CLIENTEDGE);
      SendMessageA(focus, EM_LIMITTEXT, 1024, 0);
      break;
    case Page::Ready: {
      std::string lines;
      for (const std::string& s : w.Summary()) lines += s + "\n";
      Label(lines, x, 70, width, 220, kIdSummary);
      break;
    }
    default: break;
  }
  Label("", x, 304, width, 36, kIdMessage);
  SetButtons(w.CanGoBack(), true, true, w.Text(page == Page::Ready ? "Install" : "Next"));
  SendMessageA(g.window, DM_SETDEFID, kIdNext, 0);
  SetFocus(focus ? focus : GetDlgItem(g.window, kIdNext));
}

void RenderProgress() {
  vxwiz::Wizard& w = Wizard();
  ClearPage();
  const int x = 20, width = kWidth - 40;
  Add("STATIC", "Progress", 0, 0, 0, 0, 0, kIdPageName);
  ShowWindow(g.page.back(), SW_HIDE);
  Label(w.Text("Progress"), x, 16, width, 44, kIdHeading);
  Label("", x, 80, width, 36, kIdProgressFile);
  HWND bar = Add(PROGRESS_CLASSA, "", 0, x, 124, width, 20, kIdProgressBar);
  SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  SendMessageA(bar, PBM_SETPOS, WPARAM(w.Percent()), 0);
  Label("", x, 156, width, 60, kIdStatus);
  Label("", x, 304, width, 36, kIdMessage);
  SetButtons(false, false, true, w.Text("Next"));
  SetFocus(GetDlgItem(g.window, kIdCancel));
}

void RenderFinish(bool succeeded) {
  vxwiz::Wizard& w = Wizard();
  ClearPage();
  const int x = 20, width = kWidth - 40;
  Add("STATIC", "Finish", 0, 0, 0, 0, 0, kIdPageName);
  ShowWindow(g.page.back(), SW_HIDE);
  Label(w.Text(succeeded ? "Finish" : (w.Aborted() ? "Cancelled" : "FinishFailed")), x, 16, width, 60, kIdHeading);
  if (succeeded && w.OffersLaunch()) {
    HWND c = Add("BUTTON", Mnemonic(w.Text("Launch")), WS_TABSTOP | BS_AUTOCHECKBOX, x, 90, width, 22, kIdLaunch);
    SendMessageA(c, BM_SETCHECK, BST_CHECKED, 0);
  }
  Label("", x, 304, width, 36, kIdMessage);
  SetButtons(false, true, false, w.Text("FinishButton"));
  SendMessageA(g.window, DM_SETDEFID, kIdNext, 0);
  SetFocus(GetDlgItem(g.window, kIdNext));
}

// Takes what the page's controls hold into the core (before Next and Back).
void CollectInput() {
  vxwiz::Wizard& w = Wizard();
  switch (w.Current()) {
    case Page::License:
      w.SetLicenseAccepted(SendMessageA(GetDlgItem(g.window, kIdAccept), BM_GETCHECK, 0, 0) == BST_CHECKED);
      break;
    case Page::Destination: w.SetDestination(GetText(GetDlgItem(g.window, kIdDestEdit))); break;
    case Page::Password: w.SetPassword(GetText(GetDlgItem(g.window, kIdPassword))); break;
    default: break;
  }
}

void EndLoop() {
  g.loopDone = true;
  if (g.window) PostMessageA(g.window, WM_NULL, 0, 0);
}

void OnNext() {
  vxwiz::Wizard& w = Wizard();
  if (g.phase == Phase::Finish) {
    if (HWND c = GetDlgItem(g.window, kIdLaunch)) w.SetLaunch(SendMessageA(c, BM_GETCHECK, 0, 0) == BST_CHECKED);
    EndLoop();
    return;
  }
  if (g.phase != Phase::Pages) return;
  CollectInput();
  vxwiz::Outcome o = w.Next();
  if (!o.ok) {
    ShowMessage(o.message);
    if (w.Current() == Page::Password) SetText(kIdPassword, "");
    return;
  }
  if (w.Current() == Page::Done) {
    EndLoop();
    return;
  }
  RenderPage(w.Current());
}

void OnBack() {
  if (g.phase != Phase::Pages || !Wizard().CanGoBack()) return;
  CollectInput();
  Wizard().Back();
  RenderPage(Wizard().Current());
}

void OnCancel() {
  vxwiz::Wizard& w = Wizard();
  switch (g.phase) {
    case Phase::Pages:
      if (AskYesNo(w.Text("QuitQuestion"))) {
        g.cancelled = true;
        EndLoop();
      }
      break;
    case Phase::Installing:
      if (w.Aborted()) break;
      if (AskYesNo(w.Text("CancelQuestion"), [&w](int answer) {
            if (answer == 0) w.AbortInstall();
          })) {
        EnableWindow(GetDlgItem(g.window, kIdCancel), FALSE);
        SetText(kIdStatus, w.Text("Cancelled"));
      }
      break;
    case Phase::Finish: OnNext(); break;
    default: break;
  }
}

void Browse() {
  BROWSEINFOA bi = {};
  char path[MAX_PATH] = {0};
  std::string title = Wizard().Text("Destination");
  bi.hwndOwner = g.window;
  bi.pszDisplayName = path;
  bi.lpszTitle = title.c_str();
  bi.ulFlags = BIF_RETURNONLYFSDIRS;
  HRESULT com = CoInitialize(nullptr);
  if (LPITEMIDLIST pidl = SHBrowseForFolderA(&bi)) {
    if (SHGetPathFromIDListA(pidl, path)) {
      SetText(kIdDestEdit, path);
      UpdateSpace();
    }
    CoTaskMemFree(pidl);
  }
  if (SUCCEEDED(com)) CoUninitialize();
}

LRESULT CALLBACK WizardProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case DM_GETDEFID: return MAKELONG(kIdNext, DC_HASDEFID);
    case WM_COMMAND:
      if (!g.session.Started()) break;
      switch (LOWORD(wp)) {
        case kIdNext:
          if (IsWindowEnabled(GetDlgItem(hwnd, kIdNext))) OnNext();
          return 0;
        case kIdBack: OnBack(); return 0;
        case IDCANCEL: OnCancel(); return 0;
        case kIdBrowse: Browse(); return 0;
        case kIdDestEdit:
          if (HIWORD(wp) == EN_KILLFOCUS) UpdateSpace();
          return 0;
        case kIdTypeList:
          if (HIWORD(wp) == LBN_SELCHANGE) {
            Wizard().SelectInstallType(int(SendMessageA(HWND(lp), LB_GETCURSEL, 0, 0)));
            ShowTypeDescription();
          }
          return 0;
        default: break;
      }
      break;
    case WM_NOTIFY: {
      const NMHDR* n = reinterpret_cast<const NMHDR*>(lp);
      if (!g.session.Started() || !n || n->idFrom != UINT_PTR(kIdFeatureTree)) break;
      if (n->code == NM_CLICK) {
        TVHITTESTINFO hit = {};
        DWORD pos = GetMessagePos();
        hit.pt.x = GET_X_LPARAM(pos);
        hit.pt.y = GET_Y_LPARAM(pos);
        ScreenToClient(n->hwndFrom, &hit.pt);
        HTREEITEM item = TreeView_HitTest(n->hwndFrom, &hit);
        if (item && (hit.flags & TVHT_ONITEMSTATEICON)) {
          TreeView_SelectItem(n->hwndFrom, item);
          ToggleFeature(item);
          return 1;
        }
      } else if (n->code == TVN_KEYDOWN) {
        if (reinterpret_cast<const NMTVKEYDOWN*>(lp)->wVKey == VK_SPACE) {
          ToggleFeature(TreeView_GetSelection(n->hwndFrom));
          return 1;
        }
      } else if (n->code == TVN_SELCHANGEDA || n->code == TVN_SELCHANGEDW) {
        ShowFeature(reinterpret_cast<const NMTREEVIEWA*>(lp)->itemNew.hItem);
      }
      break;
    }
    case WM_CLOSE:
      // Closing the window is Cancel on every page (Finish on the last).
      if (g.session.Started()) OnCancel();
      return 0;
    default: break;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

bool RegisterClasses() {
  if (g.classesRegistered) return true;
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_TREEVIEW_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&icc);
  WNDCLASSA wc = {};
  wc.lpfnWndProc = WizardProc;
  wc.hInstance = g.module;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.lpszClassName = kWizardClass;
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  wc.lpfnWndProc = QuestionProc;
  wc.lpszClassName = kQuestionClass;
  wc.hIcon = nullptr;
  if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
  g.classesRegistered = true;
  return true;
}

bool OpenWindow() {
  if (g.window && IsWindow(g.window)) return true;
  if (!RegisterClasses()) return false;
  vxwiz::Wizard& w = Wizard();
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  RECT frame = {0, 0, kWidth, kHeight};
  AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
  int fw = frame.right - frame.left, fh = frame.bottom - frame.top;
  int x = (GetSystemMetrics(SM_CXSCREEN) - fw) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - fh) / 2;
  g.window = CreateWindowExA(WS_EX_CONTROLPARENT | WS_EX_APPWINDOW, kWizardClass, w.Text("Title").c_str(), style,
                             x, y, fw, fh, nullptr, nullptr, g.module, nullptr);
  if (!g.window) return false;
  // The buttons stay; the page's controls come before them in Tab order.
  const int by = kHeight - 40, bw = 84, bh = 26;
  Make(g.window, "STATIC", "", SS_ETCHEDHORZ, 10, by - 12, kWidth - 20, 2, -1);
  Make(g.window, "BUTTON", Mnemonic(w.Text("Back")), WS_TABSTOP | BS_PUSHBUTTON, kWidth - 3 * (bw + 8) - 8, by, bw,
       bh, kIdBack);
  Make(g.window, "BUTTON", Mnemonic(w.Text("Next")), WS_TABSTOP | BS_DEFPUSHBUTTON, kWidth - 2 * (bw + 8) - 8, by,
       bw, bh, kIdNext);
  Make(g.window, "BUTTON", w.Text("Cancel"), WS_TABSTOP | BS_PUSHBUTTON, kWidth - (bw + 8) - 4, by, bw, bh,
       kIdCancel);
  ShowWindow(g.window, SW_SHOW);
  SetForegroundWindow(g.window);
  return true;
}

void CloseWindow() {
  if (g.window && IsWindow(g.window)) DestroyWindow(g.window);
  g.window = nullptr;
  g.page.clear();
  g.phase = Phase::None;
}

void RunLoop() {
  g.loopDone = false;
  while (!g.loopDone && g.window && IsWindow(g.window)) PumpOne();
  if (!g.window || !IsWindow(g.window)) g.cancelled = true;
}

vx_param ShowDialogs(vx_param after) {
  vxwiz::Wizard& w = Wizard();
  if (w.Silent()) return 0;
  if (!OpenWindow()) return 1;  // no window, no wizard: nothing is installed
  if (after == 0) {
    g.cancelled = false;
    g.phase = Phase::Pages;
    w.RefreshFeatureStates();
    w.Start();
    if (w.Current() != Page::Done) {
      RenderPage(w.Current());
      RunLoop();
    }
    if (g.cancelled) {
      CloseWindow();
      return 1;
    }
    g.phase = Phase::Installing;
    RenderProgress();
    UpdateWindow(g.window);
    return 0;
  }
  g.phase = Phase::Finish;
  RenderFinish(!w.Aborted());
  RunLoop();
  CloseWindow();
  return 0;
}

bool Quiet() {
  if (!g.session.Connected()) return true;
  return Wizard().Silent();
}

vx_param VersionConflict(const char* file) {
  vxwiz::Wizard& w = Wizard();
  WaitForQuestion();
  if (w.Aborted()) return vx_param(vxwiz::ConflictAnswer::KeepNewer);
  int a = Ask(w.Text("ConflictQuestion", {file ? file : ""}),
              {w.Text("ConflictKeep"), w.Text("ConflictOverwrite"), w.Text("ConflictKeepAll"),
               w.Text("ConflictOverwriteAll")},
              -1);
  if (a < 0 || a > 3) {
    // Closed without an answer: keep the newer file and stop, as Cancel.
    w.AbortInstall();
    return vx_param(vxwiz::ConflictAnswer::KeepNewer);
  }
  return vx_param(a + 1);
}

vx_param GetPackage(const char* name, char* folder) {
  vxwiz::Wizard& w = Wizard();
  WaitForQuestion();
  if (w.Aborted() || !folder) return 0;
  std::string text = std::string(folder, strnlen(folder, 260));
  std::string prompt = w.Text("PackageMissing", {name ? name : ""});
  for (int tries = 0; tries < 100; ++tries) {
    if (Ask(prompt, {w.Text("OK"), w.Text("Cancel")}, 1, &text) != 0) return 0;
    vxwiz::Outcome o = w.CheckPackageFolder(text);
    if (o.ok && !text.empty()) {
      std::memset(folder, 0, 260);
      std::memcpy(folder, text.c_str(), std::min<size_t>(text.size(), 259));
      return 1;
    }
    prompt = o.ok ? w.Text("PackageMissing", {name ? name : ""}) : o.message;
  }
  return 0;
}

void Progress(vx_param filePercent, vx_param totalPercent) {
  vxwiz::Wizard& w = Wizard();
  w.OnProgress(filePercent, totalPercent);
  if (HWND bar = GetDlgItem(g.window, kIdProgressBar)) SendMessageA(bar, PBM_SETPOS, WPARAM(w.Percent()), 0);
}

vx_param VXAPI Handler(int32_t msgId, const char* msgName, vx_param param1, vx_param param2) {
  try {
    if (msgId == EV_LANGUAGECHANGED && g.font && !g.window) {
      // The next window is made with the new language's character set.
      DeleteObject(g.font);
      g.font = nullptr;
    }
    vx_param answer = 0;
    if (g.session.HandleStartup(msgId, param1, answer)) return answer;
    if (msgId == EV_SHOWDIALOGS) return g.session.Connected() ? ShowDialogs(param1) : 1;
    if (msgId == EV_UNLOAD) {
      CloseWindow();
      if (g.font) DeleteObject(g.font);
      if (g.checks) ImageList_Destroy(g.checks);
      g.font = nullptr;
      g.checks = nullptr;
      g.session.Reset();
      return 0;
    }
    std::string name = msgName ? msgName : "";
    bool wanted = vxwiz::PluginSession::InstallEvent(msgId, msgName) || name == "CM_HIDESTATUSTEXT" ||
                  name == "CM_GETACTIVEWINDOW";
    if (!wanted || Quiet()) return 0;
    switch (msgId) {
      case EV_BEFOREPROCESSITEM:
        WaitForQuestion();
        if (((param1 >> 16) & 0xFFFF) == VX_ITEM_FILES && param2) {
          const VXFileItemRecord* file = reinterpret_cast<const VXFileItemRecord*>(param2);
          if (file->path && !file->removal) {
            Wizard().OnFile(file->path);
            SetText(kIdProgressFile, Wizard().Text("ProgressFile", {file->path}));
          }
        }
        return 0;
      case EV_FILEINSTALLPROGRESS:
        WaitForQuestion();
        Progress(param1, param2);
        return 0;
      case EV_VERSIONCONFLICT: return VersionConflict(reinterpret_cast<const char*>(param1));
      case EV_GETPACKAGE: return GetPackage(reinterpret_cast<const char*>(param1), reinterpret_cast<char*>(param2));
      case EV_QUERYREBOOT:
        WaitForQuestion();
        Wizard().AnswerRestart(AskYesNo(Wizard().Text("RestartQuestion")));
        return 0;
      case EV_FINISH:
        // A failed run that the user did not cancel ends on a page that
        // says so; otherwise the window just goes.
        if (param1 == 0 && g.phase == Phase::Installing && !Wizard().Aborted() && g.window) {
          g.phase = Phase::Finish;
          RenderFinish(false);
          RunLoop();
        }
        CloseWindow();
        return 0;
      default: break;
    }
    if (name == "CM_SHOWSTATUSTEXT" && param1) SetText(kIdStatus, reinterpret_cast<const char*>(param1));
    if (name == "CM_HIDESTATUSTEXT") SetText(kIdStatus, "");
    if (name == "CM_GETACTIVEWINDOW") {
      HWND active = g.question ? g.question->window : g.window;
      return active && IsWindow(active) ? reinterpret_cast<vx_param>(active) : 0;
    }
    return 0;
  } catch (...) {
    // Nothing may unwind into the engine; a failure of the wizard cancels.
    return msgId == EV_SHOWDIALOGS ? 1 : 0;
  }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g.module = module;
    DisableThreadLibraryCalls(module);
  } else if (reason == DLL_PROCESS_DETACH && g.classesRegistered) {
    UnregisterClassA(kWizardClass, module);
    UnregisterClassA(kQuestionClass, module);
  }
  return TRUE;
}

extern "C" VXEXPORT void VXAPI GetPluginInfo(VXPluginInfo* info) {
  std::strncpy(info->pluginId, "VX.WindowsWizard", sizeof info->pluginId - 1);
  info->minEngineVersion = VX_ENGINE_VERSION;
  info->handler = Handler;
}
