#!/usr/bin/python3
"""Asks a desktop's own thumbnail service for thumbnails of the files given,
as a file manager does, and checks what it gives against the installed
gallivox's icons enlarged here. Usage:

    thumbnail_services.py gnome|xfce DIRECTORY GOOD... -- BAD...

gnome: GNOME's DesktopThumbnailFactory (gnome-desktop, through python3-gi),
which runs the thumbnailer under bubblewrap; each good file must give a
thumbnail whose pixels are its large icon enlarged, saved and valid for the
file; each bad file none, with its failure recorded. xfce: tumbler's D-Bus
service (run inside dbus-run-session); a thumbnail for each good file, an
error for each bad one, one request after another. HOME and the cache must
already point into a scratch directory. Exits 0, or 1 naming what failed.
"""
import os
import subprocess
import sys

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402

SIZE = 256  # the "large" flavour of both services


def fail(message):
    print("thumbnail_services.py: " + message, file=sys.stderr)
    sys.exit(1)


def rgba_of(pixbuf):
    """The pixbuf's pixels as rows of RGBA bytes, without row padding."""
    if not pixbuf.get_has_alpha():
        pixbuf = pixbuf.add_alpha(False, 0, 0, 0)
    data = pixbuf.get_pixels()
    stride, width = pixbuf.get_rowstride(), pixbuf.get_width()
    return b"".join(data[y * stride:y * stride + 4 * width] for y in range(pixbuf.get_height()))


def expected_thumbnail(path, scratch):
    """The large icon from `gallivox FILE -l`, enlarged by the largest whole
    factor that fits SIZE, pixel by pixel: (side, RGBA bytes)."""
    icon = os.path.join(scratch, "icon.png")
    subprocess.run(["gallivox", "-i", path, "-l", icon], check=True)
    pixbuf = GdkPixbuf.Pixbuf.new_from_file(icon)
    os.remove(icon)
    side = pixbuf.get_width()
    pixels = rgba_of(pixbuf)
    k = SIZE // side
    rows = []
    for y in range(side * k):
        row = pixels[(y // k) * 4 * side:(y // k + 1) * 4 * side]
        rows.append(b"".join(row[4 * x:4 * x + 4] * k for x in range(side)))
    return side * k, b"".join(rows)


def same_picture(pixbuf, expected, what):
    side, pixels = expected
    if pixbuf.get_width() != side or pixbuf.get_height() != side:
        fail("%s: %dx%d, not %dx%d" % (what, pixbuf.get_width(), pixbuf.get_height(), side, side))
    if rgba_of(pixbuf) != pixels:
        fail("%s: the pixels are not the icon enlarged" % what)


def file_facts(path):
    info = Gio.File.new_for_path(path).query_info("standard::content-type,time::modified", 0, None)
    return Gio.File.new_for_path(path).get_uri(), info.get_content_type(), info.get_attribute_uint64("time::modified")


def check_gnome(scratch, good, bad):
    gi.require_version("GnomeDesktop", "3.0")
    from gi.repository import GnomeDesktop
    factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.LARGE)
    for path in good + bad:
        uri, mime, mtime = file_facts(path)
        if not factory.can_thumbnail(uri, mime, mtime):
            fail("GNOME: no thumbnailer for %s (%s)" % (path, mime))
        try:
            pixbuf = factory.generate_thumbnail(uri, mime, None)
        except GLib.Error as error:
            pixbuf = None
            reason = error.message
        if path in bad:
            if pixbuf is not None:
                fail("GNOME: a thumbnail of the damaged %s" % path)
            factory.create_failed_thumbnail(uri, mtime, None)
            if not factory.has_valid_failed_thumbnail(uri, mtime):
                fail("GNOME: the failure of %s is not recorded" % path)
            continue
        if pixbuf is None:
            fail("GNOME: no thumbnail of %s (%s): %s" % (path, mime, reason))
        expected = expected_thumbnail(path, scratch)
        same_picture(pixbuf, expected, "GNOME: " + path)
        factory.save_thumbnail(pixbuf, uri, mtime, None)
        saved = factory.lookup(uri, mtime)
        if saved is None or not os.path.exists(saved):
            fail("GNOME: the thumbnail of %s was not saved" % path)
        same_picture(GdkPixbuf.Pixbuf.new_from_file(saved), expected, "GNOME saved: " + path)
        print("GNOME: %s (%s) -> %s" % (os.path.basename(path), mime, saved))


def check_xfce(scratch, good, bad):
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    proxy = Gio.DBusProxy.new_sync(bus, 0, None, "org.freedesktop.thumbnails.Thumbnailer1",
                                   "/org/freedesktop/thumbnails/Thumbnailer1",
                                   "org.freedesktop.thumbnails.Thumbnailer1", None)
    loop = GLib.MainLoop()
    outcome = {}

    def on_signal(_proxy, _sender, signal, parameters):
        if signal == "Ready":
            outcome["ready"] = parameters[1]
        elif signal == "Error":
            outcome["error"] = (parameters[1], parameters[3])
        elif signal == "Finished":
            loop.quit()

    proxy.connect("g-signal", on_signal)
    # One request after another: tumbler may lose one of two requests at once.
    for path in good + bad:
        uri, mime, _ = file_facts(path)
        outcome.clear()
        proxy.call_sync("Queue", GLib.Variant("(asasssu)", ([uri], [mime], "large", "default", 0)), 0, -1, None)
        GLib.timeout_add_seconds(60, loop.quit)
        loop.run()
        if path in bad:
            if "error" not in outcome or "ready" in outcome:
                fail("XFCE: no error for the damaged %s" % path)
            continue
        if "ready" not in outcome:
            fail("XFCE: no thumbnail of %s (%s): %s" % (path, mime, outcome.get("error")))
        md5 = subprocess.run(["md5sum"], input=uri.encode(), capture_output=True, check=True).stdout.split()[0]
        saved = os.path.join(os.environ["XDG_CACHE_HOME"], "thumbnails", "large", md5.decode() + ".png")
        if not os.path.exists(saved):
            fail("XFCE: the thumbnail of %s is not at %s" % (path, saved))
        same_picture(GdkPixbuf.Pixbuf.new_from_file(saved), expected_thumbnail(path, scratch), "XFCE: " + path)
        print("XFCE: %s (%s) -> %s" % (os.path.basename(path), mime, saved))


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in ("gnome", "xfce") or "--" not in sys.argv:
        fail("usage: thumbnail_services.py gnome|xfce DIRECTORY GOOD... -- BAD...")
    split = sys.argv.index("--")
    good, bad = sys.argv[3:split], sys.argv[split + 1:]
    (check_gnome if sys.argv[1] == "gnome" else check_xfce)(sys.argv[2], good, bad)


main()
