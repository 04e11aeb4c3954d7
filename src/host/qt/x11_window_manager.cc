#include "host/qt/x11_window_manager.h"

#include <QGuiApplication>

#include <xcb/xcb.h>

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace trb::host {
namespace {

struct FreeReply {
  void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

// The one window whose maps are held back, or 0.
std::atomic<xcb_window_t> g_held_map{0};

xcb_connection_t* Connection() {
  if (qGuiApp == nullptr) return nullptr;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_atom_t Atom(xcb_connection_t* c, std::string_view name) {
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr));
  return reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The atoms used here, interned once: the process has one X connection, and each window
// command would otherwise cost a round trip per atom.
struct Atoms {
  xcb_atom_t supported, request_extents, frame_extents, state, above, wm_state, max_vert, max_horz,
      hidden, change_state, active_window, moveresize;
};

const Atoms& KnownAtoms(xcb_connection_t* c) {
  static const Atoms atoms{Atom(c, "_NET_SUPPORTED"),
                           Atom(c, "_NET_REQUEST_FRAME_EXTENTS"),
                           Atom(c, "_NET_FRAME_EXTENTS"),
                           Atom(c, "_NET_WM_STATE"),
                           Atom(c, "_NET_WM_STATE_ABOVE"),
                           Atom(c, "WM_STATE"),
                           Atom(c, "_NET_WM_STATE_MAXIMIZED_VERT"),
                           Atom(c, "_NET_WM_STATE_MAXIMIZED_HORZ"),
                           Atom(c, "_NET_WM_STATE_HIDDEN"),
                           Atom(c, "WM_CHANGE_STATE"),
                           Atom(c, "_NET_ACTIVE_WINDOW"),
                           Atom(c, "_NET_MOVERESIZE_WINDOW")};
  return atoms;
}

xcb_window_t Root(xcb_connection_t* c) {
  return xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
}

// Whether the window manager lists `atom` in _NET_SUPPORTED.
bool Supports(xcb_connection_t* c, xcb_atom_t atom) {
  const xcb_atom_t supported = KnownAtoms(c).supported;
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c, xcb_get_property(c, 0, Root(c), supported, XCB_ATOM_ATOM, 0, 4096), nullptr));
  if (reply == nullptr || reply->format != 32) return false;
  const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
  const int count = xcb_get_property_value_length(reply.get()) / 4;
  for (int i = 0; i < count; ++i) {
    if (atoms[i] == atom) return true;
  }
  return false;
}

// The _NET_WM_STATE atoms written on a window; nothing when the window is gone.
std::optional<std::vector<xcb_atom_t>> StateAtoms(xcb_connection_t* c, xcb_window_t id) {
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c, xcb_get_property(c, 0, id, KnownAtoms(c).state, XCB_ATOM_ATOM, 0, 64), nullptr));
  if (reply == nullptr) return std::nullopt;
  std::vector<xcb_atom_t> atoms;
  if (reply->format == 32) {
    const auto* values = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply.get()));
    atoms.assign(values, values + xcb_get_property_value_length(reply.get()) / 4);
  }
  return atoms;
}

// Sends an event to the window manager (EWMH: to the root window, for the manager's
// substructure redirect).
void SendToRoot(xcb_connection_t* c, const void* event) {
  xcb_send_event(c, 0, Root(c),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 static_cast<const char*>(event));
  xcb_flush(c);
}

// Sends the window manager a client message about `id`.
void SendToManager(xcb_connection_t* c, xcb_window_t id, xcb_atom_t type,
                   std::initializer_list<uint32_t> data) {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = id;
  event.type = type;
  std::ranges::copy(data, event.data.data32);
  SendToRoot(c, &event);
}

// Whether _NET_WM_STATE atoms say maximised, both ways.
bool Maximized(xcb_connection_t* c, const std::vector<xcb_atom_t>& states) {
  return std::ranges::find(states, KnownAtoms(c).max_vert) != states.end() &&
         std::ranges::find(states, KnownAtoms(c).max_horz) != states.end();
}

// Asks the window manager to add or remove one or two _NET_WM_STATE atoms of a window it has.
void AskState(xcb_connection_t* c, xcb_window_t id, bool add, xcb_atom_t first, xcb_atom_t second) {
  constexpr uint32_t kRemove = 0;
  constexpr uint32_t kAdd = 1;
  constexpr uint32_t kFromApplication = 1;
  SendToManager(c, id, KnownAtoms(c).state,
                {add ? kAdd : kRemove, first, second, kFromApplication});
}

// A window of our own that is never mapped: the window manager answers a request about it
// (its frame's extents) only while it does not have the window, which is always.
xcb_window_t MarkerWindow(xcb_connection_t* c) {
  static const xcb_window_t marker = [c] {
    const xcb_window_t id = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, id, Root(c), -10, -10, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    return id;
  }();
  return marker;
}

}  // namespace

// The manager handles requests in the order they reach it, so its answer to a request sent now
// (a frame's extents, written on the marker window) comes after it has handled everything sent
// before. The marker, not the browser's window, is asked: a manager answers the request only
// for a window it does not have.
ManagerWait WaitForWindowManager(int limit_ms) {
  xcb_connection_t* c = Connection();
  if (c == nullptr) return ManagerWait::kCannotAsk;
  const xcb_atom_t request = KnownAtoms(c).request_extents;
  const xcb_atom_t extents = KnownAtoms(c).frame_extents;
  if (request == XCB_ATOM_NONE || extents == XCB_ATOM_NONE || !Supports(c, request)) {
    return ManagerWait::kCannotAsk;
  }
  const xcb_window_t marker = MarkerWindow(c);

  xcb_delete_property(c, marker, extents);
  SendToManager(c, marker, request, {});

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (true) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, marker, extents, XCB_ATOM_CARDINAL, 0, 4), nullptr));
    if (reply == nullptr || xcb_get_property_value_length(reply.get()) > 0) {
      return ManagerWait::kHandled;
    }
    if (std::chrono::steady_clock::now() >= deadline) return ManagerWait::kTimedOut;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::optional<ObservedWindow> ReadServerWindow(std::uintptr_t window) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return std::nullopt;
  const auto id = static_cast<xcb_window_t>(window);
  const Atoms& atoms = KnownAtoms(c);
  const auto attributes_cookie = xcb_get_window_attributes(c, id);
  const auto wm_state_cookie = xcb_get_property(c, 0, id, atoms.wm_state, atoms.wm_state, 0, 1);
  const auto geometry_cookie = xcb_get_geometry(c, id);
  const auto position_cookie = xcb_translate_coordinates(c, id, Root(c), 0, 0);
  Reply<xcb_get_window_attributes_reply_t> attributes(
      xcb_get_window_attributes_reply(c, attributes_cookie, nullptr));
  Reply<xcb_get_property_reply_t> wm_state(xcb_get_property_reply(c, wm_state_cookie, nullptr));
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometry_cookie, nullptr));
  Reply<xcb_translate_coordinates_reply_t> position(
      xcb_translate_coordinates_reply(c, position_cookie, nullptr));
  const std::optional<std::vector<xcb_atom_t>> states = StateAtoms(c, id);
  if (!attributes || !geometry || !position || !states) return std::nullopt;

  constexpr uint32_t kNormalState = 1;  // ICCCM 4.1.3.1
  constexpr uint32_t kIconicState = 3;
  uint32_t icccm_state = 0;
  if (wm_state && wm_state->format == 32 && xcb_get_property_value_length(wm_state.get()) >= 4) {
    icccm_state = *static_cast<const uint32_t*>(xcb_get_property_value(wm_state.get()));
  }
  const auto has = [&](xcb_atom_t atom) {
    return std::ranges::find(*states, atom) != states->end();
  };
  ObservedWindow observed;
  observed.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  observed.managed = icccm_state == kNormalState || icccm_state == kIconicState;
  observed.iconic = icccm_state == kIconicState || has(atoms.hidden);
  observed.maximized = Maximized(c, *states);
  observed.above = has(atoms.above);
  observed.rect = NormalRect{position->dst_y, position->dst_x, position->dst_y + geometry->height,
                             position->dst_x + geometry->width};
  return observed;
}

void WithMapsHeld(std::uintptr_t window, const std::function<void()>& change) {
  g_held_map.store(static_cast<xcb_window_t>(window));
  change();
  g_held_map.store(0);
}

void SetInitialState(std::uintptr_t window, bool iconic) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return;
  const auto id = static_cast<xcb_window_t>(window);
  // WM_HINTS: flags, input, initial_state and six more fields (ICCCM 4.1.2.4).
  constexpr uint32_t kStateHint = 1u << 1;
  constexpr uint32_t kNormalState = 1;
  constexpr uint32_t kIconicState = 3;
  std::array<uint32_t, 9> hints{};
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c, xcb_get_property(c, 0, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 0, 9), nullptr));
  if (reply != nullptr && reply->format == 32) {
    const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    for (int i = 0; i < count && i < 9; ++i) hints[i] = values[i];
  }
  hints[0] |= kStateHint;
  hints[2] = iconic ? kIconicState : kNormalState;
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 32,
                      static_cast<uint32_t>(hints.size()), hints.data());
  xcb_flush(c);
}

void SetAbove(std::uintptr_t window, bool above, bool managed) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return;
  const auto id = static_cast<xcb_window_t>(window);
  const xcb_atom_t state = KnownAtoms(c).state;
  const xcb_atom_t band = KnownAtoms(c).above;
  if (state == XCB_ATOM_NONE || band == XCB_ATOM_NONE) return;
  if (managed) {
    AskState(c, id, above, band, XCB_ATOM_NONE);
    return;
  }
  std::vector<xcb_atom_t> atoms = StateAtoms(c, id).value_or(std::vector<xcb_atom_t>{});
  std::erase(atoms, band);
  if (above) atoms.push_back(band);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, id, state, XCB_ATOM_ATOM, 32,
                      static_cast<uint32_t>(atoms.size()), atoms.data());
  xcb_flush(c);
}

std::optional<bool> MaximizedNow(std::uintptr_t window) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return std::nullopt;
  const std::optional<std::vector<xcb_atom_t>> atoms =
      StateAtoms(c, static_cast<xcb_window_t>(window));
  if (!atoms) return std::nullopt;
  return Maximized(c, *atoms);
}

void AskUnmaximize(std::uintptr_t window) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return;
  const Atoms& atoms = KnownAtoms(c);
  AskState(c, static_cast<xcb_window_t>(window), false, atoms.max_vert, atoms.max_horz);
}

void AskIconify(std::uintptr_t window) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return;
  constexpr uint32_t kIconicState = 3;
  SendToManager(c, static_cast<xcb_window_t>(window), KnownAtoms(c).change_state, {kIconicState});
}

// With static gravity the position is the window's own, without the frame, as the toolkit
// gives it too. The toolkit is not asked: it sends nothing when its idea of the geometry, which
// can lag behind the manager's, already matches.
void AskMoveResize(std::uintptr_t window, const NormalRect& rect) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return;
  constexpr uint32_t kStaticGravity = 10;
  constexpr uint32_t kAllFields = 0xfu << 8;  // x, y, width and height given
  constexpr uint32_t kFromApplication = 1u << 12;
  SendToManager(c, static_cast<xcb_window_t>(window), KnownAtoms(c).moveresize,
                {kStaticGravity | kAllFields | kFromApplication, static_cast<uint32_t>(rect.left),
                 static_cast<uint32_t>(rect.top), static_cast<uint32_t>(rect.right - rect.left),
                 static_cast<uint32_t>(rect.bottom - rect.top)});
}

// As a pager or taskbar asks it on the user's behalf (source 2): a manager may turn an
// application's own request into a mere "demands attention", and the controller's SHOW is what
// the user of the embedding program asked for.
void AskActivate(std::uintptr_t window) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return;
  constexpr uint32_t kSourcePager = 2;
  SendToManager(c, static_cast<xcb_window_t>(window), KnownAtoms(c).active_window,
                {kSourcePager, XCB_CURRENT_TIME, XCB_WINDOW_NONE});
}

// ICCCM 4.1.4: the window is unmapped, and the manager told so by a synthetic UnmapNotify, which
// it also hears when the window is already unmapped.
void Withdraw(std::uintptr_t window) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return;
  const auto id = static_cast<xcb_window_t>(window);
  xcb_unmap_window(c, id);
  xcb_unmap_notify_event_t event{};
  event.response_type = XCB_UNMAP_NOTIFY;
  event.event = Root(c);
  event.window = id;
  event.from_configure = 0;
  SendToRoot(c, &event);
}

}  // namespace trb::host

// The toolkit's X11 plugin resolves xcb_map_window to this definition before libxcb's: the
// executable exports it (cmake/browser.cmake). Every map but a held one goes through. Where
// the export is missing, the toolkit's maps simply all go through, as without this.
extern "C" xcb_void_cookie_t xcb_map_window(xcb_connection_t* c, xcb_window_t window) {
  using MapWindow = xcb_void_cookie_t (*)(xcb_connection_t*, xcb_window_t);
  static const auto real = reinterpret_cast<MapWindow>(dlsym(RTLD_NEXT, "xcb_map_window"));
  if (window != 0 && window == trb::host::g_held_map.load()) return xcb_void_cookie_t{0};
  return real(c, window);
}
