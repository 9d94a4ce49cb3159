#include "platform/linux/x11_clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace brimvale::platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReadTimeout = std::chrono::seconds(1);

// Xlib's default handler ends the process on any protocol error (a window
// that vanished mid-transfer, a taken key). Errors are kept instead: the grab
// error for the registration that waits for it, the rest ignored.
std::mutex gGrabMutex;
std::atomic<int> gGrabError{0};

int keepXError(Display*, XErrorEvent* error) {
  if (error->request_code == X_GrabKey) gGrabError = error->error_code;
  return 0;
}

// A lost connection (the X server ended, the session logged out) would end
// the whole process by default; the connection's exit handler below marks
// it lost instead, and everything here then answers empty.
int quietXIOError(Display*) { return 0; }

constexpr unsigned kModifierMask = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

unsigned xModifiers(std::uint32_t modifiers) {
  unsigned mask = 0;
  if (modifiers & kHotKeyShift) mask |= ShiftMask;
  if (modifiers & kHotKeyControl) mask |= ControlMask;
  if (modifiers & kHotKeyOption) mask |= Mod1Mask;
  if (modifiers & kHotKeyCommand) mask |= Mod4Mask;
  return mask;
}

// The same key with Lock and NumLock (Mod2) on or off.
constexpr unsigned kIgnoredLocks[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

std::string base64Of(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Nothing for text that is not Base64 (a hand-edited board).
std::optional<std::string> bytesOfBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  // The decoder counts the padding as bytes.
  std::size_t size = static_cast<std::size_t>(n);
  for (std::size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;
  out.resize(size);
  return out;
}

struct Converted {
  Atom type = None;
  int format = 8;
  std::string bytes;
};

}  // namespace

struct X11Clipboard::State {
  Display* watch = nullptr;  // events, ownership, grabs (event thread)
  Display* read = nullptr;   // conversions (callers' threads, under readMutex)
  Window owner = None;
  Window reader = None;
  Window root = None;
  int fixesEvent = 0;
  int wake[2] = {-1, -1};
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<std::int64_t> count{0};
  std::atomic<bool> lost{false};

  Atom clipboard, targets, timestamp, utf8, text, plain, plainUtf8, uriList, png, incr, property,
      copyBack, html, rtf, applicationRtf;

  std::mutex mutex;  // guards the fields below
  std::condition_variable replaced;
  std::function<void()> onChange;
  std::optional<ClipboardOffer> offer;
  struct Grab {
    KeyCode code = 0;
    unsigned modifiers = 0;
    std::function<void()> onPress;
  };
  std::map<std::uint32_t, Grab> grabs;

  std::mutex readMutex;

  ~State() {
    if (thread.joinable()) {
      stopping = true;
      poke();
      thread.join();
    }
    // A lost connection is left as it is: Xlib's locks may still count a
    // reader that never came back, and closing would wait for it forever.
    if (!lost) {
      if (read) XCloseDisplay(read);
      if (watch) XCloseDisplay(watch);
    }
    for (int fd : wake)
      if (fd >= 0) ::close(fd);
  }

  // Wakes the event thread: calls on other threads may have queued events.
  void poke() {
    const char c = 0;
    [[maybe_unused]] auto n = ::write(wake[1], &c, 1);
  }

  static void connectionLost(Display*, void* self) {
    auto* state = static_cast<State*>(self);
    // Called wherever Xlib noticed, maybe with `mutex` held: it takes no lock.
    state->lost = true;
    state->replaced.notify_all();
    state->poke();
  }

  void run() {
    pollfd fds[2] = {{ConnectionNumber(watch), POLLIN, 0}, {wake[0], POLLIN, 0}};
    while (!stopping && !lost) {
      while (XPending(watch) > 0) {
        XEvent event;
        XNextEvent(watch, &event);
        handle(event);
      }
      ::poll(fds, 2, -1);
      if (fds[1].revents & POLLIN) {
        char buffer[64];
        while (::read(wake[0], buffer, sizeof buffer) > 0) {
        }
      }
    }
  }

  void handle(XEvent& event) {
    if (event.type == fixesEvent + XFixesSelectionNotify) {
      const auto& notify = reinterpret_cast<XFixesSelectionNotifyEvent&>(event);
      // Our own offer was counted when it was written.
      if (notify.selection != clipboard || notify.owner == owner) return;
      ++count;
      std::function<void()> callback;
      {
        std::lock_guard lock(mutex);
        callback = onChange;
      }
      if (callback) callback();
    } else if (event.type == SelectionRequest) {
      serve(event.xselectionrequest);
    } else if (event.type == SelectionClear && event.xselectionclear.selection == clipboard) {
      std::lock_guard lock(mutex);
      offer.reset();
      replaced.notify_all();
    } else if (event.type == KeyPress) {
      const unsigned modifiers = event.xkey.state & kModifierMask;
      std::function<void()> callback;
      {
        std::lock_guard lock(mutex);
        for (const auto& [id, grab] : grabs)
          if (grab.code == event.xkey.keycode && grab.modifiers == modifiers)
            callback = grab.onPress;
      }
      if (callback) callback();
    }
  }

  void serve(const XSelectionRequestEvent& request) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = request.display;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    // Old clients name no property: the target is used instead.
    const Atom into = request.property == None ? request.target : request.property;
    const auto put = [&](Atom type, const std::string& bytes) {
      // Larger answers would need the incremental protocol; they are refused.
      const long units = std::max(XExtendedMaxRequestSize(watch), XMaxRequestSize(watch));
      if (bytes.size() + 1024 > static_cast<std::size_t>(units) * 4) return;
      XChangeProperty(watch, request.requestor, into, type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
      reply.property = into;
    };
    {
      std::lock_guard lock(mutex);
      if (request.selection == clipboard && offer) {
        const bool isText = request.target == utf8 || request.target == XA_STRING ||
                            request.target == text || request.target == plain ||
                            request.target == plainUtf8;
        if (request.target == targets) {
          std::vector<Atom> list = {targets, timestamp, copyBack};
          if (!offer->text.empty())
            list.insert(list.end(), {utf8, XA_STRING, text, plain, plainUtf8});
          if (!offer->rich.html.empty()) list.push_back(html);
          if (!offer->rich.rtfdBase64.empty()) list.push_back(rtf);
          if (!offer->filePaths.empty()) list.push_back(uriList);
          if (!offer->png.empty()) list.push_back(png);
          XChangeProperty(watch, request.requestor, into, XA_ATOM, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(list.data()),
                          static_cast<int>(list.size()));
          reply.property = into;
        } else if (request.target == copyBack) {
          put(copyBack, "1");
        } else if (request.target == timestamp) {
          const long now = CurrentTime;
          XChangeProperty(watch, request.requestor, into, XA_INTEGER, 32, PropModeReplace,
                          reinterpret_cast<const unsigned char*>(&now), 1);
          reply.property = into;
        } else if (isText && !offer->text.empty()) {
          put(request.target == XA_STRING ? XA_STRING : utf8, offer->text);
        } else if (request.target == html && !offer->rich.html.empty()) {
          put(html, offer->rich.html);
        } else if (request.target == rtf && !offer->rich.rtfdBase64.empty()) {
          if (auto document = bytesOfBase64(offer->rich.rtfdBase64)) put(rtf, *document);
        } else if (request.target == uriList && !offer->filePaths.empty()) {
          std::string list;
          for (const auto& path : offer->filePaths) list += fileUrlOfPath(path) + "\r\n";
          put(uriList, list);
        } else if (request.target == png && !offer->png.empty()) {
          put(png, std::string(offer->png.begin(), offer->png.end()));
        }
      }
    }
    XSendEvent(watch, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(watch);
  }

  // Waits for an event of `type` on the reader window until `deadline`.
  bool waitFor(int type, XEvent& event, Clock::time_point deadline) {
    pollfd fd = {ConnectionNumber(read), POLLIN, 0};
    for (;;) {
      if (XCheckTypedWindowEvent(read, reader, type, &event)) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      ::poll(&fd, 1, static_cast<int>(left));
      XEventsQueued(read, QueuedAfterReading);
    }
  }

  // One property of the reader window, deleted as it is read.
  std::optional<Converted> takeProperty() {
    Converted out;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(read, reader, property, 0, LONG_MAX / 4, True, AnyPropertyType,
                           &out.type, &out.format, &items, &after, &data) != Success)
      return std::nullopt;
    // Xlib hands 32-bit items as longs.
    const std::size_t unit = out.format == 32 ? sizeof(long) : out.format / 8;
    if (data) out.bytes.assign(reinterpret_cast<char*>(data), items * unit);
    XFree(data);
    return out;
  }

  std::optional<Converted> convert(Atom target) {
    std::lock_guard lock(readMutex);
    if (lost) return std::nullopt;
    XEvent stale;
    while (XCheckTypedWindowEvent(read, reader, SelectionNotify, &stale) ||
           XCheckTypedWindowEvent(read, reader, PropertyNotify, &stale)) {
    }
    XDeleteProperty(read, reader, property);
    XConvertSelection(read, clipboard, target, property, reader, CurrentTime);
    XFlush(read);
    const auto deadline = Clock::now() + kReadTimeout;
    XEvent event;
    if (!waitFor(SelectionNotify, event, deadline) || event.xselection.property == None)
      return std::nullopt;
    auto first = takeProperty();
    if (!first || first->type != incr) return first;
    // Incremental transfer: each deleted property brings the next chunk,
    // an empty one ends it.
    XFlush(read);
    Converted whole;
    for (;;) {
      if (!waitFor(PropertyNotify, event, deadline + std::chrono::seconds(4))) return std::nullopt;
      if (event.xproperty.atom != property || event.xproperty.state != PropertyNewValue) continue;
      auto chunk = takeProperty();
      XFlush(read);
      if (!chunk) return std::nullopt;
      if (chunk->bytes.empty()) return whole;
      whole.type = chunk->type;
      whole.format = chunk->format;
      whole.bytes += chunk->bytes;
    }
  }
};

Result<std::unique_ptr<X11Clipboard>> X11Clipboard::open(const std::string& display) {
  XInitThreads();
  XSetErrorHandler(keepXError);
  XSetIOErrorHandler(quietXIOError);
  auto state = std::make_unique<State>();
  const char* name = display.empty() ? nullptr : display.c_str();
  state->watch = XOpenDisplay(name);
  state->read = state->watch ? XOpenDisplay(name) : nullptr;
  if (!state->read)
    return fail(Errc::kUnavailable,
                "no X display " + (display.empty() ? std::string("in $DISPLAY") : display));
  XSetIOErrorExitHandler(state->watch, State::connectionLost, state.get());
  XSetIOErrorExitHandler(state->read, State::connectionLost, state.get());
  int error = 0;
  if (!XFixesQueryExtension(state->watch, &state->fixesEvent, &error))
    return fail(Errc::kUnavailable, "the X server has no XFixes extension");
  if (::pipe2(state->wake, O_NONBLOCK | O_CLOEXEC) != 0) return fail(Errc::kIo, "pipe failed");

  Display* dpy = state->watch;
  const auto atom = [dpy](const char* n) { return XInternAtom(dpy, n, False); };
  state->clipboard = atom("CLIPBOARD");
  state->targets = atom("TARGETS");
  state->timestamp = atom("TIMESTAMP");
  state->utf8 = atom("UTF8_STRING");
  state->text = atom("TEXT");
  state->plain = atom("text/plain");
  state->plainUtf8 = atom("text/plain;charset=utf-8");
  state->uriList = atom("text/uri-list");
  state->png = atom("image/png");
  state->html = atom("text/html");
  state->rtf = atom("text/rtf");
  state->applicationRtf = atom("application/rtf");
  state->incr = atom("INCR");
  state->property = atom("BRIMVALE_SELECTION");
  state->copyBack = atom(std::string(kCopyBackType).c_str());

  state->root = DefaultRootWindow(dpy);
  state->owner = XCreateSimpleWindow(dpy, state->root, 0, 0, 1, 1, 0, 0, 0);
  XFixesSelectSelectionInput(dpy, state->root, state->clipboard,
                             XFixesSetSelectionOwnerNotifyMask |
                                 XFixesSelectionWindowDestroyNotifyMask |
                                 XFixesSelectionClientCloseNotifyMask);
  XSync(dpy, False);
  state->reader =
      XCreateSimpleWindow(state->read, DefaultRootWindow(state->read), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(state->read, state->reader, PropertyChangeMask);
  XSync(state->read, False);
  State* raw = state.get();
  state->thread = std::thread([raw] { raw->run(); });
  return std::unique_ptr<X11Clipboard>(new X11Clipboard(std::move(state)));
}

X11Clipboard::X11Clipboard(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11Clipboard::~X11Clipboard() {
  {
    std::lock_guard lock(state_->mutex);
    state_->offer.reset();
    state_->replaced.notify_all();
  }
}

std::int64_t X11Clipboard::changeCount() { return state_->count; }

bool X11Clipboard::connected() const { return !state_->lost; }

std::optional<std::vector<std::string>> X11Clipboard::types() {
  auto list = state_->convert(state_->targets);
  if (!list || list->format != 32) return std::nullopt;
  std::vector<Atom> atoms(list->bytes.size() / sizeof(long));
  std::copy_n(list->bytes.data(), atoms.size() * sizeof(long),
              reinterpret_cast<char*>(atoms.data()));
  std::vector<std::string> names;
  std::lock_guard lock(state_->readMutex);
  for (const Atom a : atoms) {
    if (a == None) continue;
    char* name = XGetAtomName(state_->read, a);
    if (!name) continue;
    names.emplace_back(name);
    XFree(name);
  }
  return names;
}

std::optional<std::string> X11Clipboard::text() {
  for (const Atom target : {state_->utf8, state_->plainUtf8, Atom{XA_STRING}}) {
    auto data = state_->convert(target);
    if (!data || data->format != 8) continue;
    while (!data->bytes.empty() && data->bytes.back() == '\0') data->bytes.pop_back();
    return std::move(data->bytes);
  }
  return std::nullopt;
}

ClipboardRichText X11Clipboard::richText(const std::vector<std::string>& types) {
  const auto offered = [&](std::string_view type) {
    return std::find(types.begin(), types.end(), type) != types.end();
  };
  ClipboardRichText rich;
  if (offered("text/html")) {
    auto data = state_->convert(state_->html);
    if (data && data->format == 8) rich.html = htmlAsUtf8(data->bytes);
  }
  const std::pair<std::string_view, Atom> rtfTypes[] = {
      {"text/rtf", state_->rtf}, {"application/rtf", state_->applicationRtf}};
  for (const auto& [name, type] : rtfTypes) {
    if (!offered(name)) continue;
    auto data = state_->convert(type);
    if (!data || data->format != 8 || data->bytes.empty()) continue;
    rich.rtfdBase64 = base64Of(data->bytes);
    break;
  }
  return rich;
}

std::vector<std::string> X11Clipboard::filePaths() {
  auto data = state_->convert(state_->uriList);
  if (!data || data->format != 8) return {};
  return filePathsOfUriList(data->bytes);
}

std::optional<std::vector<std::uint8_t>> X11Clipboard::image(
    const std::vector<std::string>& types) {
  // PNG first: it is kept as it comes; the others are converted to it.
  for (const char* type : {"image/png", "image/jpeg", "image/bmp", "image/gif"}) {
    if (std::find(types.begin(), types.end(), type) == types.end()) continue;
    auto data = state_->convert(type == std::string_view("image/png")
                                    ? state_->png
                                    : XInternAtom(state_->watch, type, False));
    if (!data || data->format != 8 || data->bytes.empty()) continue;
    return std::vector<std::uint8_t>(data->bytes.begin(), data->bytes.end());
  }
  return std::nullopt;
}

std::optional<std::int64_t> X11Clipboard::write(const ClipboardOffer& offer) {
  if (state_->lost) return std::nullopt;
  std::int64_t count = 0;
  {
    std::lock_guard lock(state_->mutex);
    state_->offer = offer;
    count = ++state_->count;
  }
  XSetSelectionOwner(state_->watch, state_->clipboard, state_->owner, CurrentTime);
  const bool owned = XGetSelectionOwner(state_->watch, state_->clipboard) == state_->owner;
  state_->poke();
  if (!owned) return std::nullopt;
  return count;
}

bool X11Clipboard::setOnChange(std::function<void()> onChange) {
  std::lock_guard lock(state_->mutex);
  state_->onChange = std::move(onChange);
  return true;
}

void X11Clipboard::waitUntilReplaced() {
  std::unique_lock lock(state_->mutex);
  // Polled as well: the loss is announced without the lock.
  while (!state_->replaced.wait_for(lock, std::chrono::seconds(1), [this] {
    return !state_->offer.has_value() || state_->lost;
  })) {
  }
}

int X11Clipboard::registerHotKey(std::uint32_t id, const HotKeyCombo& combo,
                                 std::function<void()> onPress) {
  unregisterHotKey(id);
  if (state_->lost) return BadImplementation;
  Display* dpy = state_->watch;
  const KeySym sym = XStringToKeysym(combo.key.c_str());
  const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(dpy, sym);
  if (code == 0) return BadValue;
  const unsigned modifiers = xModifiers(combo.modifiers);
  int error = 0;
  {
    std::lock_guard grabLock(gGrabMutex);
    gGrabError = 0;
    for (const unsigned locks : kIgnoredLocks)
      XGrabKey(dpy, code, modifiers | locks, state_->root, False, GrabModeAsync, GrabModeAsync);
    XSync(dpy, False);
    error = gGrabError;
    if (error != 0) {
      // A partial grab would fire with some lock states only.
      for (const unsigned locks : kIgnoredLocks)
        XUngrabKey(dpy, code, modifiers | locks, state_->root);
      XSync(dpy, False);
    }
  }
  state_->poke();
  if (error != 0) return error;
  std::lock_guard lock(state_->mutex);
  state_->grabs[id] = {code, modifiers, std::move(onPress)};
  return 0;
}

void X11Clipboard::unregisterHotKey(std::uint32_t id) {
  State::Grab grab;
  {
    std::lock_guard lock(state_->mutex);
    auto it = state_->grabs.find(id);
    if (it == state_->grabs.end()) return;
    grab = std::move(it->second);
    state_->grabs.erase(it);
  }
  if (state_->lost) return;
  for (const unsigned locks : kIgnoredLocks)
    XUngrabKey(state_->watch, grab.code, grab.modifiers | locks, state_->root);
  XSync(state_->watch, False);
  state_->poke();
}

}  // namespace brimvale::platform
