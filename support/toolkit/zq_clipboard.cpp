// SPDX-License-Identifier: GPL-3.0-or-later
// The system clipboard through X11. A small thread keeps its own connection to the X
// server and an invisible window: it owns the CLIPBOARD (or PRIMARY) selection after a
// set and answers other programs' requests for it (TARGETS, UTF8_STRING, TEXT, STRING),
// and it asks the current owner for the text on a get. The caller never waits longer
// than a bounded time: a get gives up after half a second without an answer. An owner that
// sends a large text in pieces (the INCR protocol: xclip with a few megabytes) is read to
// the end, with a time limit that grows with the announced size and with each piece that
// comes; once we give up, the rest of its pieces are still taken off (and dropped), so the
// owner is never left waiting for us.
//
// Index
//   1. State shared with the thread
//   2. Answering requests for what we own
//   3. Reading another owner's selection
//   4. The thread
//   5. Public calls
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "zq_gui_internal.h"
#include "zq_log.h"

namespace {

// Largest text the clipboard hands out: far beyond any report, far below what would hurt.
// Bigger texts are refused rather than cut.
constexpr size_t kMaxText = 8u << 20;
// Largest text taken from another program (an exported watchlist can be this large).
constexpr size_t kMaxGetText = 64u << 20;
constexpr auto kGetTimeout = std::chrono::milliseconds(500);
// A text in pieces: a second of patience per announced MiB on top of the first wait, and a
// second after each piece, never more than a minute in all.
constexpr auto kIncrPerMiB = std::chrono::milliseconds(1000);
constexpr auto kIncrPerPiece = std::chrono::milliseconds(1000);
constexpr auto kIncrMax = std::chrono::seconds(60);
constexpr auto kSetTimeout = std::chrono::milliseconds(1000);

// ---------------------------------------------------------------------------------------
// 1. State shared with the thread
// ---------------------------------------------------------------------------------------

struct Request {
    enum Kind { SET, GET } kind = SET;
    int which = 0;
    std::string text;  // SET: what to own; GET: what came back
    bool done = false;
    bool ok = false;
    std::chrono::steady_clock::time_point deadline;  // the thread may move it (lock held)
    Atom target = None;                              // GET: the target asked for so far
    // GET in pieces (INCR): under way, the type of the pieces, when it began.
    bool incr = false;
    Atom incr_type = None;
    std::chrono::steady_clock::time_point incr_start;
};

struct Clip {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Request>> queue;  // waiting for the thread
    std::string owned[2];                        // what we own, per selection
    bool owning[2] = {false, false};
    bool running = false;
    bool stop = false;
    int wake[2] = {-1, -1};
    std::thread th;

    // Used by the thread only.
    Display* dpy = nullptr;
    Window win = 0;
    Atom a_clipboard = None, a_targets = None, a_utf8 = None, a_text = None, a_prop = None,
         a_incr = None, a_timestamp = None;
    std::shared_ptr<Request> pending;  // the GET waiting for SelectionNotify
    std::atomic<bool> dead{false};     // the connection broke

    ~Clip();
};

Atom selection_atom(const Clip& c, int which) {
    return which == ZQ_CLIPBOARD_PRIMARY ? XA_PRIMARY : c.a_clipboard;
}

int selection_index(const Clip& c, Atom sel) {
    if (sel == c.a_clipboard) return ZQ_CLIPBOARD_CLIPBOARD;
    if (sel == XA_PRIMARY) return ZQ_CLIPBOARD_PRIMARY;
    return -1;
}

// Errors on our own connection (a requestor window gone while we answer) are expected;
// others go to whoever handled them before.
XErrorHandler g_prev_handler = nullptr;
std::atomic<Display*> g_clip_dpy{nullptr};

int on_x_error(Display* d, XErrorEvent* e) {
    if (d == g_clip_dpy.load()) return 0;
    return g_prev_handler ? g_prev_handler(d, e) : 0;
}

void on_io_exit(Display*, void* user) {
    // The server went away: the thread stops using the connection instead of exiting.
    static_cast<Clip*>(user)->dead = true;
}

std::string latin1_to_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) zq_utf8_append(out, c);
    return out;
}

std::string utf8_to_latin1(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t next = zq_utf8_next(s, i);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && next == i + 2) {
            out += static_cast<char>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
        } else {
            out += '?';
        }
        i = next;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// 2. Answering requests for what we own
// ---------------------------------------------------------------------------------------

void answer_request(Clip& c, const XSelectionRequestEvent& req) {
    XSelectionEvent ev{};
    ev.type = SelectionNotify;
    ev.display = req.display;
    ev.requestor = req.requestor;
    ev.selection = req.selection;
    ev.target = req.target;
    ev.time = req.time;
    ev.property = None;
    // Old clients leave the property out: use the target's name then.
    const Atom prop = req.property == None ? req.target : req.property;

    const int which = selection_index(c, req.selection);
    std::string text;
    bool have = false;
    {
        std::lock_guard<std::mutex> lk(c.mu);
        if (which >= 0 && c.owning[which]) {
            text = c.owned[which];
            have = true;
        }
    }
    // What fits in one property change; larger texts would need the incremental protocol,
    // which this clipboard does not speak: such a request is refused.
    const long max_req = XExtendedMaxRequestSize(c.dpy) > 0 ? XExtendedMaxRequestSize(c.dpy)
                                                            : XMaxRequestSize(c.dpy);
    const size_t max_bytes = static_cast<size_t>(max_req) * 4 - 256;
    if (have) {
        if (req.target == c.a_targets) {
            const Atom targets[] = {c.a_targets, c.a_timestamp, c.a_utf8, c.a_text, XA_STRING};
            XChangeProperty(c.dpy, req.requestor, prop, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(targets),
                            static_cast<int>(sizeof targets / sizeof targets[0]));
            ev.property = prop;
        } else if (req.target == c.a_timestamp) {
            const long t = CurrentTime;
            XChangeProperty(c.dpy, req.requestor, prop, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(&t), 1);
            ev.property = prop;
        } else if (req.target == c.a_utf8 || req.target == c.a_text || req.target == XA_STRING) {
            const std::string data = req.target == XA_STRING ? utf8_to_latin1(text) : text;
            if (data.size() <= max_bytes) {
                XChangeProperty(c.dpy, req.requestor, prop,
                                req.target == XA_STRING ? XA_STRING : c.a_utf8, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(data.data()),
                                static_cast<int>(data.size()));
                ev.property = prop;
            }
        }
    }
    XSendEvent(c.dpy, req.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&ev));
    XFlush(c.dpy);
}

// ---------------------------------------------------------------------------------------
// 3. Reading another owner's selection
// ---------------------------------------------------------------------------------------

void finish(Clip& c, const std::shared_ptr<Request>& r, bool ok, std::string text) {
    {
        std::lock_guard<std::mutex> lk(c.mu);
        r->ok = ok;
        r->text = std::move(text);
        r->done = true;
    }
    c.cv.notify_all();
}

void start_get(Clip& c, const std::shared_ptr<Request>& r) {
    // The server knows who owns the selection now; a SelectionClear may still be on its way.
    const Atom sel = selection_atom(c, r->which);
    const Window owner = XGetSelectionOwner(c.dpy, sel);
    if (owner == None) {
        finish(c, r, true, "");
        return;
    }
    if (owner == c.win) {
        std::string mine;
        {
            std::lock_guard<std::mutex> lk(c.mu);
            mine = c.owned[r->which];
        }
        finish(c, r, true, std::move(mine));
        return;
    }
    {
        std::lock_guard<std::mutex> lk(c.mu);
        c.owning[r->which] = false;
    }
    r->target = c.a_utf8;
    XDeleteProperty(c.dpy, c.win, c.a_prop);
    XConvertSelection(c.dpy, sel, r->target, c.a_prop, c.win, CurrentTime);
    XFlush(c.dpy);
    c.pending = r;
}

void on_notify(Clip& c, const XSelectionEvent& ev) {
    const std::shared_ptr<Request> r = c.pending;
    if (!r || ev.selection != selection_atom(c, r->which)) return;
    if (ev.property == None) {
        // No UTF-8 from this owner: ask once more for Latin-1.
        if (r->target == c.a_utf8) {
            r->target = XA_STRING;
            XConvertSelection(c.dpy, ev.selection, XA_STRING, c.a_prop, c.win, CurrentTime);
            XFlush(c.dpy);
            return;
        }
        c.pending.reset();
        finish(c, r, false, "");
        return;
    }
    c.pending.reset();
    Atom type = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    // Deleting the property as it is read also tells an INCR owner to send its first piece.
    const int rc = XGetWindowProperty(c.dpy, c.win, c.a_prop, 0, static_cast<long>(kMaxGetText / 4),
                                      True, AnyPropertyType, &type, &format, &n, &after, &data);
    std::string text;
    bool ok = false;
    if (rc == Success && type == c.a_incr) {
        // The value is a lower bound of the size to come.
        const long hint = format == 32 && n >= 1 && data ? *reinterpret_cast<long*>(data) : 0;
        if (data) XFree(data);
        const auto now = std::chrono::steady_clock::now();
        const auto mib = std::max(0L, hint) >> 20;
        {
            std::lock_guard<std::mutex> lk(c.mu);
            r->incr = true;
            r->incr_start = now;
            r->deadline = std::min(now + kGetTimeout + kIncrPerMiB * mib, now + kIncrMax);
        }
        c.pending = r;
        return;
    }
    if (rc == Success && after > 0) {
        zq_log(LOG_INFO, "clipboard: text over %zu bytes refused", kMaxGetText);
    } else if (rc == Success && format == 8 && data) {
        const std::string_view raw(reinterpret_cast<const char*>(data), n);
        text = type == XA_STRING ? latin1_to_utf8(raw) : zq_utf8_clean(raw, SIZE_MAX);
        ok = true;
    }
    if (data) XFree(data);
    if (after > 0) XDeleteProperty(c.dpy, c.win, c.a_prop);
    finish(c, r, ok, std::move(text));
}

// A change of our property. During a transfer in pieces: the next piece (an empty one ends
// it). Otherwise a piece of a transfer we gave up on: it is deleted unread, so that its
// owner goes on to the end instead of waiting for us.
void on_property(Clip& c, const XPropertyEvent& ev) {
    if (ev.window != c.win || ev.atom != c.a_prop || ev.state != PropertyNewValue) return;
    const std::shared_ptr<Request> r = c.pending;
    if (!r) {
        XDeleteProperty(c.dpy, c.win, c.a_prop);
        XFlush(c.dpy);
        return;
    }
    if (!r->incr) return;  // a one-piece answer: its SelectionNotify reads it
    Atom type = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    const int rc = XGetWindowProperty(c.dpy, c.win, c.a_prop, 0, static_cast<long>(kMaxGetText / 4),
                                      True, AnyPropertyType, &type, &format, &n, &after, &data);
    XFlush(c.dpy);
    bool failed = rc != Success || after > 0 || (n > 0 && format != 8);
    std::string_view piece;
    if (!failed && data) piece = std::string_view(reinterpret_cast<const char*>(data), n);
    if (!failed && r->incr_type == None) r->incr_type = type;
    if (!failed && n == 0) {
        // The end.
        c.pending.reset();
        std::string text =
            r->incr_type == XA_STRING ? latin1_to_utf8(r->text) : zq_utf8_clean(r->text, SIZE_MAX);
        if (data) XFree(data);
        finish(c, r, true, std::move(text));
        return;
    }
    if (!failed && r->text.size() + piece.size() > kMaxGetText) {
        zq_log(LOG_INFO, "clipboard: text over %zu bytes refused", kMaxGetText);
        failed = true;
    }
    if (!failed) {
        try {
            r->text.append(piece);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
    }
    if (data) XFree(data);
    if (failed) {
        c.pending.reset();
        finish(c, r, false, "");
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lk(c.mu);
    r->deadline = std::max(r->deadline, std::min(now + kIncrPerPiece, r->incr_start + kIncrMax));
}

void do_set(Clip& c, const std::shared_ptr<Request>& r) {
    const Atom sel = selection_atom(c, r->which);
    {
        std::lock_guard<std::mutex> lk(c.mu);
        c.owned[r->which] = r->text;
        c.owning[r->which] = true;
    }
    XSetSelectionOwner(c.dpy, sel, c.win, CurrentTime);
    const bool ok = XGetSelectionOwner(c.dpy, sel) == c.win;
    if (!ok) {
        std::lock_guard<std::mutex> lk(c.mu);
        c.owning[r->which] = false;
    }
    finish(c, r, ok, "");
}

// ---------------------------------------------------------------------------------------
// 4. The thread
// ---------------------------------------------------------------------------------------

void run(Clip* cp) {
    Clip& c = *cp;
    for (;;) {
        // Requests from the main thread.
        std::deque<std::shared_ptr<Request>> todo;
        {
            std::lock_guard<std::mutex> lk(c.mu);
            if (c.stop) break;
            if (!c.pending) todo.swap(c.queue);
            char buf[64];
            while (read(c.wake[0], buf, sizeof buf) > 0) {
            }
        }
        for (size_t i = 0; i < todo.size(); ++i) {
            const auto& r = todo[i];
            if (c.dead) {
                finish(c, r, false, "");
            } else if (r->kind == Request::SET) {
                do_set(c, r);
            } else {
                start_get(c, r);
                if (c.pending) {
                    // One get at a time: the rest wait for the next turn.
                    std::lock_guard<std::mutex> lk(c.mu);
                    c.queue.insert(c.queue.begin(), todo.begin() + static_cast<long>(i) + 1,
                                   todo.end());
                    break;
                }
            }
        }
        // X events.
        while (!c.dead && XPending(c.dpy) > 0) {
            XEvent ev;
            XNextEvent(c.dpy, &ev);
            if (c.dead) break;
            switch (ev.type) {
                case SelectionRequest:
                    answer_request(c, ev.xselectionrequest);
                    break;
                case SelectionClear: {
                    const int which = selection_index(c, ev.xselectionclear.selection);
                    if (which >= 0) {
                        std::lock_guard<std::mutex> lk(c.mu);
                        c.owning[which] = false;
                        c.owned[which].clear();
                    }
                    break;
                }
                case SelectionNotify:
                    on_notify(c, ev.xselection);
                    break;
                case PropertyNotify:
                    on_property(c, ev.xproperty);
                    break;
                default:
                    break;
            }
        }
        if (c.dead) {
            if (c.pending) finish(c, c.pending, false, "");
            c.pending.reset();
            std::lock_guard<std::mutex> lk(c.mu);
            c.owning[0] = c.owning[1] = false;
        }
        // A get that the owner does not answer in time ends empty.
        int timeout_ms = -1;
        if (c.pending) {
            std::chrono::steady_clock::time_point deadline;
            {
                std::lock_guard<std::mutex> lk(c.mu);
                deadline = c.pending->deadline;
            }
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::milliseconds(0)) {
                finish(c, c.pending, false, "");
                c.pending.reset();
                XDeleteProperty(c.dpy, c.win, c.a_prop);
                continue;
            }
            timeout_ms = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1);
        }
        pollfd fds[2] = {{c.wake[0], POLLIN, 0},
                         {c.dead ? -1 : ConnectionNumber(c.dpy), POLLIN, 0}};
        poll(fds, 2, timeout_ms);
    }
}

Clip::~Clip() {
    if (th.joinable()) {
        {
            std::lock_guard<std::mutex> lk(mu);
            stop = true;
        }
        if (write(wake[1], "x", 1) < 0) {
        }
        th.join();
    }
    if (dpy) {
        g_clip_dpy = nullptr;
        if (!dead) {
            XDestroyWindow(dpy, win);
            XCloseDisplay(dpy);
        }
    }
    for (int fd : wake)
        if (fd >= 0) close(fd);
}

// Starts the thread on first use; nullptr when there is no X display.
Clip* clip() {
    static std::mutex start_mu;
    static std::unique_ptr<Clip> instance;
    static bool tried = false;
    std::lock_guard<std::mutex> lk(start_mu);
    if (tried) return instance && instance->running && !instance->dead ? instance.get() : nullptr;
    tried = true;
    auto c = std::make_unique<Clip>();
    c->dpy = XOpenDisplay(nullptr);
    if (!c->dpy) {
        zq_log(LOG_INFO, "clipboard: no X display; copy and paste stay inside the program");
        return nullptr;
    }
    if (pipe2(c->wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        XCloseDisplay(c->dpy);
        c->dpy = nullptr;
        return nullptr;
    }
    g_clip_dpy = c->dpy;
    g_prev_handler = XSetErrorHandler(on_x_error);
    XSetIOErrorExitHandler(c->dpy, on_io_exit, c.get());
    c->win = XCreateSimpleWindow(c->dpy, DefaultRootWindow(c->dpy), -10, -10, 1, 1, 0, 0, 0);
    // Pieces of a large text arrive as changes of a property of this window.
    XSelectInput(c->dpy, c->win, PropertyChangeMask);
    c->a_clipboard = XInternAtom(c->dpy, "CLIPBOARD", False);
    c->a_targets = XInternAtom(c->dpy, "TARGETS", False);
    c->a_utf8 = XInternAtom(c->dpy, "UTF8_STRING", False);
    c->a_text = XInternAtom(c->dpy, "TEXT", False);
    c->a_prop = XInternAtom(c->dpy, "ZQ_CLIPBOARD_DATA", False);
    c->a_incr = XInternAtom(c->dpy, "INCR", False);
    c->a_timestamp = XInternAtom(c->dpy, "TIMESTAMP", False);
    XFlush(c->dpy);
    c->running = true;
    try {
        c->th = std::thread(run, c.get());
    } catch (...) {
        c->running = false;
        return nullptr;
    }
    instance = std::move(c);
    return instance.get();
}

// Hands a request to the thread and waits for it at most `timeout`, or as long as the thread
// extends its deadline (a text coming in pieces).
bool submit(Clip& c, const std::shared_ptr<Request>& r, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(c.mu);
    r->deadline = std::chrono::steady_clock::now() + timeout;
    c.queue.push_back(r);
    if (write(c.wake[1], "x", 1) < 0) {
    }
    constexpr auto kSlack = std::chrono::milliseconds(50);
    while (!r->done && std::chrono::steady_clock::now() < r->deadline + kSlack)
        c.cv.wait_until(lk, r->deadline + kSlack);
    return r->done && r->ok;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// 5. Public calls
// ---------------------------------------------------------------------------------------

int zq_clipboard_available() {
    try {
        return clip() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

std::string zq_clipboard_get(int which) {
    if (which != ZQ_CLIPBOARD_CLIPBOARD && which != ZQ_CLIPBOARD_PRIMARY) return {};
    try {
        Clip* c = clip();
        if (!c) return {};
        auto r = std::make_shared<Request>();
        r->kind = Request::GET;
        r->which = which;
        if (!submit(*c, r, kGetTimeout)) return {};
        std::lock_guard<std::mutex> lk(c->mu);
        return r->text;
    } catch (...) {
        return {};
    }
}

int zq_clipboard_set(int which, std::string_view text) {
    if (which != ZQ_CLIPBOARD_CLIPBOARD && which != ZQ_CLIPBOARD_PRIMARY) return -1;
    if (text.size() > kMaxText) {
        zq_log(LOG_INFO, "clipboard: text of %zu bytes refused", text.size());
        return -1;
    }
    try {
        Clip* c = clip();
        if (!c) return -1;
        auto r = std::make_shared<Request>();
        r->kind = Request::SET;
        r->which = which;
        r->text = zq_utf8_clean(text, SIZE_MAX);
        return submit(*c, r, kSetTimeout) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}
