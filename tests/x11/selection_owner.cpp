// Tests and the demo only: takes the CLIPBOARD selection on $DISPLAY and
// offers every TYPE=VALUE given (VALUE "@path" reads a file) at once, the way
// a password manager offers its text together with its marker types.
// --refuse=TYPE lists TYPE but refuses to hand it over; --slow=TYPE answers
// for TYPE only after 3 s. Either may name TARGETS, the list itself. Prints
// "ready" once it owns the selection and serves until another program takes
// it (or it is killed).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  struct Offer {
    Atom type;
    std::string bytes;
  };
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "selection_owner: no display\n");
    return 2;
  }
  const Atom targets = XInternAtom(dpy, "TARGETS", False);
  std::vector<Offer> offers;
  std::vector<Atom> refused, slow;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    const std::string option = arg.substr(0, eq);
    if (eq == std::string::npos ||
        (option.starts_with("--") && option != "--refuse" && option != "--slow")) {
      std::fprintf(stderr,
                   "usage: selection_owner [--refuse=TYPE] [--slow=TYPE] "
                   "TYPE=VALUE|TYPE=@file ...\n");
      return 2;
    }
    if (option == "--slow" || option == "--refuse") {
      const Atom type = XInternAtom(dpy, arg.substr(eq + 1).c_str(), False);
      if (option == "--slow") {
        slow.push_back(type);
      } else {
        refused.push_back(type);
        if (type != targets) offers.push_back({type, {}});
      }
      continue;
    }
    std::string value = arg.substr(eq + 1);
    if (value.starts_with("@")) {
      std::ifstream in(value.substr(1), std::ios::binary);
      value.assign(std::istreambuf_iterator<char>(in), {});
    }
    offers.push_back({XInternAtom(dpy, option.c_str(), False), value});
  }
  const auto among = [](const std::vector<Atom>& atoms, Atom a) {
    return std::find(atoms.begin(), atoms.end(), a) != atoms.end();
  };
  const Atom clipboard = XInternAtom(dpy, "CLIPBOARD", False);
  const Window window = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(dpy, clipboard, window, CurrentTime);
  if (XGetSelectionOwner(dpy, clipboard) != window) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    XEvent event;
    XNextEvent(dpy, &event);
    if (event.type == SelectionClear) return 0;
    if (event.type != SelectionRequest) continue;
    const XSelectionRequestEvent& request = event.xselectionrequest;
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.requestor = request.requestor;
    reply.selection = request.selection;
    reply.target = request.target;
    reply.time = request.time;
    reply.property = None;
    const Atom into = request.property == None ? request.target : request.property;
    if (among(slow, request.target)) sleep(3);
    if (among(refused, request.target)) {
      // Answered with no property: the type is listed but not handed over.
    } else if (request.target == targets) {
      std::vector<Atom> list = {targets};
      for (const auto& offer : offers) list.push_back(offer.type);
      XChangeProperty(dpy, request.requestor, into, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(list.data()), static_cast<int>(list.size()));
      reply.property = into;
    }
    for (const auto& offer : offers) {
      if (offer.type != request.target || among(refused, offer.type)) continue;
      XChangeProperty(dpy, request.requestor, into, offer.type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offer.bytes.data()),
                      static_cast<int>(offer.bytes.size()));
      reply.property = into;
    }
    XSendEvent(dpy, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(dpy);
  }
}
