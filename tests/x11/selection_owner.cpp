// Tests and the demo only: takes the CLIPBOARD selection on $DISPLAY and
// offers every TYPE=VALUE given (VALUE "@path" reads a file) at once, the way
// a password manager offers its text together with its marker types. Prints
// "ready" once it owns the selection and serves until another program takes
// it (or it is killed).
#include <X11/Xatom.h>
#include <X11/Xlib.h>

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
  std::vector<Offer> offers;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    if (eq == std::string::npos) {
      std::fprintf(stderr, "usage: selection_owner TYPE=VALUE|TYPE=@file ...\n");
      return 2;
    }
    std::string value = arg.substr(eq + 1);
    if (value.starts_with("@")) {
      std::ifstream in(value.substr(1), std::ios::binary);
      value.assign(std::istreambuf_iterator<char>(in), {});
    }
    offers.push_back({XInternAtom(dpy, arg.substr(0, eq).c_str(), False), value});
  }
  const Atom clipboard = XInternAtom(dpy, "CLIPBOARD", False);
  const Atom targets = XInternAtom(dpy, "TARGETS", False);
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
    if (request.target == targets) {
      std::vector<Atom> list = {targets};
      for (const auto& offer : offers) list.push_back(offer.type);
      XChangeProperty(dpy, request.requestor, into, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(list.data()), static_cast<int>(list.size()));
      reply.property = into;
    }
    for (const auto& offer : offers) {
      if (offer.type != request.target) continue;
      XChangeProperty(dpy, request.requestor, into, offer.type, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offer.bytes.data()),
                      static_cast<int>(offer.bytes.size()));
      reply.property = into;
    }
    XSendEvent(dpy, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(dpy);
  }
}
