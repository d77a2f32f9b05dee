#!/usr/bin/python3
"""Stand-ins for the desktop's remote-control portal, for the integration tests.

  portal_service.py backend  LOG [--mutter]
      A RemoteDesktop portal backend (org.freedesktop.impl.portal.RemoteDesktop) that the real
      xdg-desktop-portal frontend selects through a .portal file. With --mutter every input call
      is also forwarded to org.gnome.Mutter.RemoteDesktop on the same bus.
  portal_service.py frontend LOG
      A frontend of its own (org.freedesktop.portal.RemoteDesktop, version 2) that can answer
      badly on purpose: for the remembered grant and for hostile answers.

Both keep a log of what reached them, one line per call, readable through the control object
/org/ravnix/PortalTest (interface org.ravnix.PortalTest) and appended to LOG. Lines:
  motion DX DY | button CODE STATE | axis DX DY finish=0|1 | discrete AXIS STEPS | key CODE STATE
  select types=T persist_mode=P restore_token=R | start | closed
Doubles are written with repr(), so they read back exactly.
"""

import signal
import sys

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

BACKEND_NAME = "org.freedesktop.impl.portal.RavnixTest"
FRONTEND_NAME = "org.freedesktop.portal.Desktop"
DESKTOP_PATH = "/org/freedesktop/portal/desktop"
CONTROL_PATH = "/org/ravnix/PortalTest"
CONTROL_NAME = "org.ravnix.PortalTest"

NOTIFY_METHODS = """
    <method name="NotifyPointerMotion">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="d" name="dx" direction="in"/>
      <arg type="d" name="dy" direction="in"/>
    </method>
    <method name="NotifyPointerMotionAbsolute">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="stream" direction="in"/>
      <arg type="d" name="x" direction="in"/>
      <arg type="d" name="y" direction="in"/>
    </method>
    <method name="NotifyPointerButton">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="i" name="button" direction="in"/>
      <arg type="u" name="state" direction="in"/>
    </method>
    <method name="NotifyPointerAxis">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="d" name="dx" direction="in"/>
      <arg type="d" name="dy" direction="in"/>
    </method>
    <method name="NotifyPointerAxisDiscrete">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="axis" direction="in"/>
      <arg type="i" name="steps" direction="in"/>
    </method>
    <method name="NotifyKeyboardKeycode">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="i" name="keycode" direction="in"/>
      <arg type="u" name="state" direction="in"/>
    </method>
    <method name="NotifyKeyboardKeysym">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="i" name="keysym" direction="in"/>
      <arg type="u" name="state" direction="in"/>
    </method>
    <property name="AvailableDeviceTypes" type="u" access="read"/>
    <property name="version" type="u" access="read"/>
"""

IMPL_XML = """
<node>
  <interface name="org.freedesktop.impl.portal.RemoteDesktop">
    <method name="CreateSession">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="SelectDevices">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
%s
  </interface>
  <interface name="org.freedesktop.impl.portal.Session">
    <method name="Close"/>
    <signal name="Closed"/>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.impl.portal.Request">
    <method name="Close"/>
  </interface>
</node>
""" % NOTIFY_METHODS

FRONTEND_XML = """
<node>
  <interface name="org.freedesktop.portal.RemoteDesktop">
    <method name="CreateSession">
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="SelectDevices">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
    <method name="Start">
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="o" name="handle" direction="out"/>
    </method>
%s
  </interface>
  <interface name="org.freedesktop.portal.Session">
    <method name="Close"/>
    <signal name="Closed">
      <arg type="a{sv}" name="details"/>
    </signal>
    <property name="version" type="u" access="read"/>
  </interface>
  <interface name="org.freedesktop.portal.Request">
    <method name="Close"/>
    <signal name="Response">
      <arg type="u" name="response"/>
      <arg type="a{sv}" name="results"/>
    </signal>
  </interface>
</node>
""" % NOTIFY_METHODS

CONTROL_XML = """
<node>
  <interface name="org.ravnix.PortalTest">
    <!-- How the next calls of a step (CreateSession, SelectDevices, Start) are answered:
         ok, deny (1), cancel (2), silent (never); the frontend also knows no-handle,
         wrong-type (a session handle that is a number) and bad-devices. -->
    <method name="SetAnswer">
      <arg type="s" name="step" direction="in"/>
      <arg type="s" name="how" direction="in"/>
    </method>
    <method name="CloseSessions"/>
    <!-- The frontend gives up its bus name, as a frontend that ends would. -->
    <method name="LeaveBus"/>
    <method name="Events">
      <arg type="as" name="lines" direction="out"/>
    </method>
    <!-- Clears the log, the answers and the sessions, and takes the bus name back. -->
    <method name="Reset"/>
  </interface>
</node>
"""

# Mutter's flags for NotifyPointerAxis: finish, and the source of the scroll (a finger).
MUTTER_AXIS_FINISH = 1 << 0
MUTTER_AXIS_SOURCE_FINGER = 1 << 2


class Service:
    def __init__(self, role, log_path, forward_to_mutter):
        self.role = role
        self.log_path = log_path
        self.forward_to_mutter = forward_to_mutter
        self.events = []
        self.answers = {}
        self.sessions = {}  # session path -> {"registrations": [...], "mutter": path or None}
        self.requests = {}  # request path -> registration id (pending answers)
        self.token_serial = 0
        self.connection = None
        self.owner_id = 0
        self.loop = GLib.MainLoop()
        xml = IMPL_XML if role == "backend" else FRONTEND_XML
        self.node = Gio.DBusNodeInfo.new_for_xml(xml)
        self.control = Gio.DBusNodeInfo.new_for_xml(CONTROL_XML).interfaces[0]

    # The log.
    def record(self, line):
        self.events.append(line)
        with open(self.log_path, "a", encoding="utf-8") as log:
            log.write(line + "\n")

    # Bus set-up.
    def run(self):
        address = Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None)
        self.connection = Gio.DBusConnection.new_for_address_sync(
            address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None,
            None,
        )
        self.connection.set_exit_on_close(False)
        self.connection.connect("closed", lambda *args: self.loop.quit())
        main = self.node.interfaces[0]
        self.connection.register_object(DESKTOP_PATH, main, self.on_call, self.on_get, None)
        self.connection.register_object(CONTROL_PATH, self.control, self.on_control, None, None)
        # The tests' control reaches the service under this name even while it has left the
        # bus under its portal name; asked for first, so it is there once that one is.
        Gio.bus_own_name_on_connection(
            self.connection, CONTROL_NAME, Gio.BusNameOwnerFlags.NONE, None, None
        )
        self.own_name()
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, self.loop.quit)
        self.loop.run()

    def own_name(self):
        name = BACKEND_NAME if self.role == "backend" else FRONTEND_NAME
        self.owner_id = Gio.bus_own_name_on_connection(
            self.connection, name, Gio.BusNameOwnerFlags.NONE, None, None
        )

    def on_get(self, connection, sender, path, interface, name):
        if name == "AvailableDeviceTypes":
            return GLib.Variant("u", 3)
        if name == "version":
            return GLib.Variant("u", 2 if self.role == "frontend" else 1)
        return None

    # Control.
    def on_control(self, connection, sender, path, interface, method, params, invocation):
        if method == "SetAnswer":
            step, how = params.unpack()
            self.answers[step] = how
        elif method == "CloseSessions":
            for session in list(self.sessions):
                self.close_session(session, emit=True)
        elif method == "LeaveBus":
            Gio.bus_unown_name(self.owner_id)
            self.owner_id = 0
        elif method == "Events":
            invocation.return_value(GLib.Variant("(as)", (self.events,)))
            return
        elif method == "Reset":
            for session in list(self.sessions):
                self.close_session(session, emit=False)
            self.events = []
            self.answers = {}
            if self.owner_id == 0:
                self.own_name()
        invocation.return_value(None)

    # Sessions.
    def export_session(self, session_path):
        interface = self.node.lookup_interface(
            "org.freedesktop.impl.portal.Session"
            if self.role == "backend"
            else "org.freedesktop.portal.Session"
        )
        registration = self.connection.register_object(
            session_path, interface, self.on_session_call, self.on_get, None
        )
        self.sessions[session_path] = {"registration": registration, "mutter": None}

    def close_session(self, session_path, emit):
        session = self.sessions.pop(session_path, None)
        if session is None:
            return
        if emit:
            self.record("closed")
            if self.role == "backend":
                self.connection.emit_signal(
                    None, session_path, "org.freedesktop.impl.portal.Session", "Closed", None
                )
            else:
                self.connection.emit_signal(
                    None,
                    session_path,
                    "org.freedesktop.portal.Session",
                    "Closed",
                    GLib.Variant("(a{sv})", ({},)),
                )
        if session["mutter"]:
            self.mutter_call(session["mutter"], "Stop", None)
        self.connection.unregister_object(session["registration"])

    def on_session_call(self, connection, sender, path, interface, method, params, invocation):
        invocation.return_value(None)
        if method == "Close":
            self.close_session(path, emit=False)

    # Answers.
    def answer_code(self, step):
        how = self.answers.get(step, "ok")
        return {"ok": 0, "deny": 1, "cancel": 2}.get(how, 0), how

    def on_call(self, connection, sender, path, interface, method, params, invocation):
        if method.startswith("Notify"):
            self.on_notify(method, params)
            invocation.return_value(None)
            return
        if self.role == "backend":
            self.on_impl_call(method, params, invocation)
        else:
            self.on_frontend_call(sender, method, params, invocation)

    def on_impl_call(self, method, params, invocation):
        handle, session_path = params[0], params[1]
        code, how = self.answer_code(method)
        results = {}
        if method == "CreateSession" and code == 0:
            self.export_session(session_path)
        elif method == "SelectDevices":
            options = params[3]
            self.record("select types=%s" % options.get("types"))
        elif method == "Start":
            self.record("start")
            if code == 0:
                results["devices"] = GLib.Variant("u", 3)
                if self.forward_to_mutter and session_path in self.sessions:
                    self.sessions[session_path]["mutter"] = self.start_mutter_session()
        if how == "silent":
            # Answered only when the frontend closes the request.
            registration = self.connection.register_object(
                handle,
                self.node.lookup_interface("org.freedesktop.impl.portal.Request"),
                lambda *args: self.on_request_close(handle, invocation, *args),
                None,
                None,
            )
            self.requests[handle] = registration
            return
        invocation.return_value(GLib.Variant("(ua{sv})", (code, results)))

    def on_request_close(self, handle, pending, connection, sender, path, interface, method,
                         params, invocation):
        invocation.return_value(None)
        registration = self.requests.pop(handle, None)
        if registration is not None:
            self.connection.unregister_object(registration)
            pending.return_value(GLib.Variant("(ua{sv})", (2, {})))

    def request_path(self, sender, options):
        token = options.get("handle_token") or "t%d" % self.token_serial
        self.token_serial += 1
        return "%s/request/%s/%s" % (DESKTOP_PATH, sender[1:].replace(".", "_"), token)

    def on_frontend_call(self, sender, method, params, invocation):
        options = params[-1]
        request = self.request_path(sender, options)
        code, how = self.answer_code(method)
        results = {}
        if method == "CreateSession":
            token = options.get("session_handle_token") or "s%d" % self.token_serial
            session_path = "%s/session/%s/%s" % (DESKTOP_PATH, sender[1:].replace(".", "_"), token)
            if code == 0:
                self.export_session(session_path)
            if how == "wrong-type":
                results["session_handle"] = GLib.Variant("u", 7)
            elif how != "no-handle":
                results["session_handle"] = GLib.Variant("s", session_path)
        elif method == "SelectDevices":
            self.record(
                "select types=%s persist_mode=%s restore_token=%s"
                % (
                    options.get("types"),
                    options.get("persist_mode"),
                    options.get("restore_token"),
                )
            )
        elif method == "Start":
            self.record("start")
            if how == "bad-devices":
                results["devices"] = GLib.Variant("s", "everything")
            else:
                results["devices"] = GLib.Variant("u", 3)
                self.token_serial += 1
                results["restore_token"] = GLib.Variant("s", "ravnix-token-%d" % self.token_serial)
        invocation.return_value(GLib.Variant("(o)", (request,)))
        if how == "silent":
            return
        # The answer follows the method's reply, as with the real frontend.
        GLib.idle_add(self.emit_response, sender, request, code, results)

    def emit_response(self, sender, request, code, results):
        self.connection.emit_signal(
            sender,
            request,
            "org.freedesktop.portal.Request",
            "Response",
            GLib.Variant("(ua{sv})", (code, results)),
        )
        return False

    # Input.
    def on_notify(self, method, params):
        session_path, options = params[0], params[1]
        session = self.sessions.get(session_path)
        if method == "NotifyPointerMotion":
            dx, dy = params[2], params[3]
            self.record("motion %r %r" % (dx, dy))
            self.forward(session, "NotifyPointerMotionRelative", GLib.Variant("(dd)", (dx, dy)))
        elif method == "NotifyPointerButton":
            button, state = params[2], params[3]
            self.record("button %d %d" % (button, state))
            self.forward(session, "NotifyPointerButton", GLib.Variant("(ib)", (button, state != 0)))
        elif method == "NotifyPointerAxis":
            dx, dy = params[2], params[3]
            finish = bool(options.get("finish", False))
            self.record("axis %r %r finish=%d" % (dx, dy, finish))
            flags = MUTTER_AXIS_SOURCE_FINGER | (MUTTER_AXIS_FINISH if finish else 0)
            self.forward(session, "NotifyPointerAxis", GLib.Variant("(ddu)", (dx, dy, flags)))
        elif method == "NotifyPointerAxisDiscrete":
            axis, steps = params[2], params[3]
            self.record("discrete %d %d" % (axis, steps))
            self.forward(session, "NotifyPointerAxisDiscrete", GLib.Variant("(ui)", (axis, steps)))
        elif method == "NotifyKeyboardKeycode":
            code, state = params[2], params[3]
            self.record("key %d %d" % (code, state))
            self.forward(session, "NotifyKeyboardKeycode", GLib.Variant("(ub)", (code, state != 0)))
        else:
            self.record("other %s" % method)

    # Mutter.
    def start_mutter_session(self):
        try:
            reply = self.connection.call_sync(
                "org.gnome.Mutter.RemoteDesktop",
                "/org/gnome/Mutter/RemoteDesktop",
                "org.gnome.Mutter.RemoteDesktop",
                "CreateSession",
                None,
                GLib.VariantType.new("(o)"),
                Gio.DBusCallFlags.NONE,
                5000,
                None,
            )
            path = reply.unpack()[0]
            self.mutter_call(path, "Start", None)
            return path
        except GLib.Error as error:
            self.record("mutter-error %s" % error.message)
            return None

    def forward(self, session, method, args):
        if session is not None and session["mutter"]:
            self.mutter_call(session["mutter"], method, args)

    def mutter_call(self, path, method, args):
        # Calls go out in order on one connection; mutter answers them in that order.
        def done(connection, result):
            try:
                connection.call_finish(result)
            except GLib.Error as error:
                self.record("mutter-error %s: %s" % (method, error.message))

        self.connection.call(
            "org.gnome.Mutter.RemoteDesktop",
            path,
            "org.gnome.Mutter.RemoteDesktop.Session",
            method,
            args,
            None,
            Gio.DBusCallFlags.NONE,
            5000,
            None,
            done,
        )


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("backend", "frontend"):
        sys.stderr.write(__doc__)
        return 2
    Service(sys.argv[1], sys.argv[2], "--mutter" in sys.argv[3:]).run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
