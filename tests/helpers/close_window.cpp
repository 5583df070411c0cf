// Asks an X11 top-level window to close, as a window manager's close box does:
// a WM_DELETE_WINDOW message. Needs no window manager, so it works under Xvfb.
//   close_window TITLE
// Exit status 0 when a window with that exact title was asked, 1 when none was found.
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(
          connection,
          xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr),
      &std::free);
  return reply ? reply->atom : XCB_ATOM_NONE;
}

std::string Title(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                  xcb_atom_t type) {
  Reply<xcb_get_property_reply_t> reply(
      xcb_get_property_reply(
          connection, xcb_get_property(connection, 0, window, property, type, 0, 1024), nullptr),
      &std::free);
  if (!reply) return {};
  return {static_cast<const char*>(xcb_get_property_value(reply.get())),
          static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: close_window TITLE\n");
    return 64;
  }
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) {
    std::fprintf(stderr, "close_window: cannot open the display\n");
    return 2;
  }
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  const xcb_atom_t netWmName = Atom(connection, "_NET_WM_NAME");
  const xcb_atom_t utf8 = Atom(connection, "UTF8_STRING");
  const xcb_atom_t protocols = Atom(connection, "WM_PROTOCOLS");
  const xcb_atom_t deleteWindow = Atom(connection, "WM_DELETE_WINDOW");

  Reply<xcb_query_tree_reply_t> tree(
      xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr), &std::free);
  int asked = 0;
  if (tree) {
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
      if (Title(connection, children[i], netWmName, utf8) != argv[1] &&
          Title(connection, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_STRING) != argv[1]) {
        continue;
      }
      xcb_client_message_event_t event{};
      event.response_type = XCB_CLIENT_MESSAGE;
      event.format = 32;
      event.window = children[i];
      event.type = protocols;
      event.data.data32[0] = deleteWindow;
      event.data.data32[1] = XCB_CURRENT_TIME;
      xcb_send_event(connection, 0, children[i], XCB_EVENT_MASK_NO_EVENT,
                     reinterpret_cast<const char*>(&event));
      ++asked;
    }
  }
  // A round trip, so the server has handled the messages before we hang up;
  // requests still unread when a client disconnects can be dropped.
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  xcb_disconnect(connection);
  return asked > 0 ? 0 : 1;
}
