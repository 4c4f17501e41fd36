const BUS_NAME = 'org.ulvarend.GnomeShell';
const OBJECT_PATH = '/org/ulvarend/GnomeShell';
const INTERFACE_XML = `<node>
  <interface name="org.ulvarend.GnomeShell.Frontmost">
    <method name="Focused">
      <arg type="b" name="focused" direction="out"/>
      <arg type="s" name="identifier" direction="out"/>
    </method>
    <signal name="FocusChanged">
      <arg type="b" name="focused"/>
      <arg type="s" name="identifier"/>
    </signal>
  </interface>
</node>`;

// Longer than any real application identifier; the agent refuses anything longer.
const MAX_IDENTIFIER_BYTES = 1024;

// At most MAX_IDENTIFIER_BYTES of UTF-8, cut between characters. A lone surrogate has no
// UTF-8 form and is left out rather than sent as something the bus refuses.
function bounded(text) {
    let bytes = 0;
    let kept = '';
    for (const character of text) {
        const point = character.codePointAt(0);
        if (point >= 0xd800 && point <= 0xdfff)
            continue;
        const size = point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
        if (bytes + size > MAX_IDENTIFIER_BYTES)
            break;
        bytes += size;
        kept += character;
    }
    return kept;
}

// The same order as the agent follows on X11: the GTK application id, then the desktop
// file the shell matched the window to, then the window class (a Wayland client's app id).
// A window the shell could match to no desktop file has a made-up app ("window:..."), which
// is skipped.
function identify(window) {
    const gtkId = window.get_gtk_application_id();
    if (gtkId)
        return gtkId;
    const app = Shell.WindowTracker.get_default().get_window_app(window);
    if (app && !app.is_window_backed()) {
        let desktopId = app.get_id() || '';
        if (desktopId.endsWith('.desktop'))
            desktopId = desktopId.slice(0, -'.desktop'.length);
        if (desktopId)
            return desktopId;
    }
    return window.get_wm_class() || '';
}

// Tells whoever listens on the session bus which application owns the focused window: only
// whether one is focused and its identifier, never a title.
class FrontmostReporter {
    // Safe to call again while enabled: what the last call exported and owned goes first, so
    // the bus never sees the object or the name twice.
    enable() {
        this.disable();
        this._exported = Gio.DBusExportedObject.wrapJSObject(INTERFACE_XML, this);
        // The shell's own connection, which also owns org.gnome.Shell: the agent takes what
        // this name says only from that connection.
        this._exported.export(Gio.DBus.session, OBJECT_PATH);
        this._window = null;
        this._windowSignals = [];
        this._focusSignal = global.display.connect('notify::focus-window',
            () => this._focusChanged());
        this._followWindow(global.display.focus_window);
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME,
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        if (this._nameId) {
            Gio.bus_unown_name(this._nameId);
            this._nameId = 0;
        }
        if (this._focusSignal) {
            global.display.disconnect(this._focusSignal);
            this._focusSignal = 0;
        }
        if (this._window)
            this._followWindow(null);
        if (this._exported) {
            this._exported.unexport();
            this._exported = null;
        }
    }

    Focused() {
        return this._state();
    }

    _state() {
        const window = global.display.focus_window;
        return window ? [true, bounded(identify(window))] : [false, ''];
    }

    _focusChanged() {
        this._followWindow(global.display.focus_window);
        this._tell();
    }

    // A client may name itself only after it was focused; the focused window's names are
    // followed so that the agent hears the name it ends up with.
    _followWindow(window) {
        for (const id of this._windowSignals)
            this._window.disconnect(id);
        this._windowSignals = [];
        this._window = window;
        if (!window)
            return;
        for (const property of ['wm-class', 'gtk-application-id']) {
            this._windowSignals.push(window.connect(`notify::${property}`,
                () => this._tell()));
        }
    }

    _tell() {
        if (this._exported) {
            this._exported.emit_signal('FocusChanged',
                new GLib.Variant('(bs)', this._state()));
        }
    }
}
