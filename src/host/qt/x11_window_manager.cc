#include "host/qt/x11_window_manager.h"

#include <QGuiApplication>

#include <xcb/xcb.h>

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
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
  xcb_atom_t supported, request_extents, frame_extents, state, above, wm_state, max_vert, max_horz;
};

const Atoms& KnownAtoms(xcb_connection_t* c) {
  static const Atoms atoms{Atom(c, "_NET_SUPPORTED"),
                           Atom(c, "_NET_REQUEST_FRAME_EXTENTS"),
                           Atom(c, "_NET_FRAME_EXTENTS"),
                           Atom(c, "_NET_WM_STATE"),
                           Atom(c, "_NET_WM_STATE_ABOVE"),
                           Atom(c, "WM_STATE"),
                           Atom(c, "_NET_WM_STATE_MAXIMIZED_VERT"),
                           Atom(c, "_NET_WM_STATE_MAXIMIZED_HORZ")};
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

// Asks the window manager to add or remove one or two _NET_WM_STATE atoms of a window it has.
void AskState(xcb_connection_t* c, xcb_window_t id, bool add, xcb_atom_t first, xcb_atom_t second) {
  constexpr uint32_t kRemove = 0;
  constexpr uint32_t kAdd = 1;
  constexpr uint32_t kFromApplication = 1;
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = id;
  event.type = KnownAtoms(c).state;
  event.data.data32[0] = add ? kAdd : kRemove;
  event.data.data32[1] = first;
  event.data.data32[2] = second;
  event.data.data32[3] = kFromApplication;
  xcb_send_event(c, 0, Root(c),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&event));
  xcb_flush(c);
}

}  // namespace

// The manager handles a client's requests in the order they were made, so its answer to a
// request sent now (its frame's extents, written on the window) comes after it has handled
// the hide and anything else before. A manager that does not offer the request is not waited
// for; neither is one that does not answer within the limit.
bool WaitForWindowManager(std::uintptr_t window, int limit_ms) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return true;
  const auto id = static_cast<xcb_window_t>(window);
  const xcb_atom_t request = KnownAtoms(c).request_extents;
  const xcb_atom_t extents = KnownAtoms(c).frame_extents;
  if (request == XCB_ATOM_NONE || extents == XCB_ATOM_NONE || !Supports(c, request)) return true;

  xcb_delete_property(c, id, extents);
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = id;
  event.type = request;
  xcb_send_event(c, 0, Root(c),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&event));
  xcb_flush(c);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (true) {
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, id, extents, XCB_ATOM_CARDINAL, 0, 4), nullptr));
    if (reply == nullptr) return true;  // the window is gone
    if (xcb_get_property_value_length(reply.get()) > 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool OffScreen(std::uintptr_t window) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return false;
  const auto id = static_cast<xcb_window_t>(window);
  const xcb_get_window_attributes_cookie_t attributes = xcb_get_window_attributes(c, id);
  const xcb_atom_t wm_state = KnownAtoms(c).wm_state;
  const xcb_get_property_cookie_t state = xcb_get_property(c, 0, id, wm_state, wm_state, 0, 1);
  Reply<xcb_get_window_attributes_reply_t> mapped(
      xcb_get_window_attributes_reply(c, attributes, nullptr));
  Reply<xcb_get_property_reply_t> iconic(xcb_get_property_reply(c, state, nullptr));
  if (mapped == nullptr || mapped->map_state == XCB_MAP_STATE_VIEWABLE) return false;
  constexpr uint32_t kIconicState = 3;  // ICCCM 4.1.3.1
  return iconic == nullptr || iconic->format != 32 ||
         xcb_get_property_value_length(iconic.get()) < 4 ||
         *static_cast<const uint32_t*>(xcb_get_property_value(iconic.get())) != kIconicState;
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
  const auto has = [&](xcb_atom_t atom) { return std::ranges::find(*atoms, atom) != atoms->end(); };
  return has(KnownAtoms(c).max_vert) && has(KnownAtoms(c).max_horz);
}

void AskUnmaximize(std::uintptr_t window) {
  xcb_connection_t* c = Connection();
  if (c == nullptr || window == 0) return;
  const Atoms& atoms = KnownAtoms(c);
  AskState(c, static_cast<xcb_window_t>(window), false, atoms.max_vert, atoms.max_horz);
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
