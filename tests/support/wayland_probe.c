/* A Wayland client for the tests that reads back what a compositor delivers: one fullscreen
 * xdg-shell window drawn from shared memory, and one line on standard output for each event of
 * its seat's pointer and keyboard:
 *   ready W H | enter X Y | leave | motion X Y | button CODE STATE | axis AXIS VALUE |
 *   axis_stop AXIS | discrete AXIS STEPS | frame | keyboard | kbenter | key CODE STATE
 * Coordinates and axis values are surface-local doubles ("%.4f"). It ends when standard input
 * closes, on SIGTERM, when the compositor goes away, or after 300 s. */
#define _GNU_SOURCE
#include "xdg-shell-client-protocol.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

struct probe {
    struct wl_display* display;
    struct wl_compositor* compositor;
    struct wl_shm* shm;
    struct xdg_wm_base* wm_base;
    struct wl_seat* seat;
    struct wl_pointer* pointer;
    struct wl_keyboard* keyboard;
    struct wl_surface* surface;
    struct xdg_surface* xdg_surface;
    struct xdg_toplevel* toplevel;
    struct wl_buffer* buffer;
    int width, height;
    int configured_width, configured_height;
    int is_ready;
};

static volatile sig_atomic_t stopping = 0;

static void on_signal(int number) {
    (void)number;
    stopping = 1;
}

/* Pointer. */
static void pointer_enter(void* data, struct wl_pointer* pointer, uint32_t serial,
                          struct wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
    (void)data, (void)pointer, (void)serial, (void)surface;
    printf("enter %.4f %.4f\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void pointer_leave(void* data, struct wl_pointer* pointer, uint32_t serial,
                          struct wl_surface* surface) {
    (void)data, (void)pointer, (void)serial, (void)surface;
    printf("leave\n");
}
static void pointer_motion(void* data, struct wl_pointer* pointer, uint32_t time, wl_fixed_t x,
                           wl_fixed_t y) {
    (void)data, (void)pointer, (void)time;
    printf("motion %.4f %.4f\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
static void pointer_button(void* data, struct wl_pointer* pointer, uint32_t serial, uint32_t time,
                           uint32_t button, uint32_t state) {
    (void)data, (void)pointer, (void)serial, (void)time;
    printf("button %u %u\n", button, state);
}
static void pointer_axis(void* data, struct wl_pointer* pointer, uint32_t time, uint32_t axis,
                         wl_fixed_t value) {
    (void)data, (void)pointer, (void)time;
    printf("axis %u %.4f\n", axis, wl_fixed_to_double(value));
}
static void pointer_frame(void* data, struct wl_pointer* pointer) {
    (void)data, (void)pointer;
    printf("frame\n");
}
static void pointer_axis_source(void* data, struct wl_pointer* pointer, uint32_t source) {
    (void)data, (void)pointer, (void)source;
}
static void pointer_axis_stop(void* data, struct wl_pointer* pointer, uint32_t time,
                              uint32_t axis) {
    (void)data, (void)pointer, (void)time;
    printf("axis_stop %u\n", axis);
}
static void pointer_axis_discrete(void* data, struct wl_pointer* pointer, uint32_t axis,
                                  int32_t discrete) {
    (void)data, (void)pointer;
    printf("discrete %u %d\n", axis, discrete);
}
static const struct wl_pointer_listener pointer_listener = {
    .enter = pointer_enter,
    .leave = pointer_leave,
    .motion = pointer_motion,
    .button = pointer_button,
    .axis = pointer_axis,
    .frame = pointer_frame,
    .axis_source = pointer_axis_source,
    .axis_stop = pointer_axis_stop,
    .axis_discrete = pointer_axis_discrete,
};

/* Keyboard. */
static void keyboard_keymap(void* data, struct wl_keyboard* keyboard, uint32_t format, int32_t fd,
                            uint32_t size) {
    (void)data, (void)keyboard, (void)format, (void)size;
    close(fd);
}
static void keyboard_enter(void* data, struct wl_keyboard* keyboard, uint32_t serial,
                           struct wl_surface* surface, struct wl_array* keys) {
    (void)data, (void)keyboard, (void)serial, (void)surface, (void)keys;
    printf("kbenter\n");
}
static void keyboard_leave(void* data, struct wl_keyboard* keyboard, uint32_t serial,
                           struct wl_surface* surface) {
    (void)data, (void)keyboard, (void)serial, (void)surface;
    printf("kbleave\n");
}
static void keyboard_key(void* data, struct wl_keyboard* keyboard, uint32_t serial, uint32_t time,
                         uint32_t key, uint32_t state) {
    (void)data, (void)keyboard, (void)serial, (void)time;
    printf("key %u %u\n", key, state);
}
static void keyboard_modifiers(void* data, struct wl_keyboard* keyboard, uint32_t serial,
                               uint32_t depressed, uint32_t latched, uint32_t locked,
                               uint32_t group) {
    (void)data, (void)keyboard, (void)serial, (void)latched, (void)locked, (void)group;
    printf("modifiers %u\n", depressed);
}
static void keyboard_repeat_info(void* data, struct wl_keyboard* keyboard, int32_t rate,
                                 int32_t delay) {
    (void)data, (void)keyboard, (void)rate, (void)delay;
}
static const struct wl_keyboard_listener keyboard_listener = {
    .keymap = keyboard_keymap,
    .enter = keyboard_enter,
    .leave = keyboard_leave,
    .key = keyboard_key,
    .modifiers = keyboard_modifiers,
    .repeat_info = keyboard_repeat_info,
};

/* Seat: the keyboard appears only once the compositor has a keyboard device. */
static void seat_capabilities(void* data, struct wl_seat* seat, uint32_t capabilities) {
    struct probe* probe = data;
    if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && probe->pointer == NULL) {
        probe->pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(probe->pointer, &pointer_listener, probe);
        printf("pointer\n");
    }
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && probe->keyboard == NULL) {
        probe->keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(probe->keyboard, &keyboard_listener, probe);
        printf("keyboard\n");
    }
}
static void seat_name(void* data, struct wl_seat* seat, const char* name) {
    (void)data, (void)seat, (void)name;
}
static const struct wl_seat_listener seat_listener = {
    .capabilities = seat_capabilities,
    .name = seat_name,
};

static void wm_base_ping(void* data, struct xdg_wm_base* wm_base, uint32_t serial) {
    (void)data;
    xdg_wm_base_pong(wm_base, serial);
}
static const struct xdg_wm_base_listener wm_base_listener = {.ping = wm_base_ping};

static void registry_global(void* data, struct wl_registry* registry, uint32_t name,
                            const char* interface, uint32_t version) {
    struct probe* probe = data;
    if (strcmp(interface, wl_compositor_interface.name) == 0) {
        probe->compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 4);
    } else if (strcmp(interface, wl_shm_interface.name) == 0) {
        probe->shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
    } else if (strcmp(interface, xdg_wm_base_interface.name) == 0) {
        probe->wm_base = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
        xdg_wm_base_add_listener(probe->wm_base, &wm_base_listener, probe);
    } else if (strcmp(interface, wl_seat_interface.name) == 0 && probe->seat == NULL) {
        /* Version 5 brings frames, axis sources, stops and discrete steps. */
        probe->seat =
            wl_registry_bind(registry, name, &wl_seat_interface, version < 5 ? version : 5);
        wl_seat_add_listener(probe->seat, &seat_listener, probe);
    }
}
static void registry_global_remove(void* data, struct wl_registry* registry, uint32_t name) {
    (void)data, (void)registry, (void)name;
}
static const struct wl_registry_listener registry_listener = {
    .global = registry_global,
    .global_remove = registry_global_remove,
};

/* One opaque buffer of the window's size. */
static struct wl_buffer* create_buffer(struct probe* probe, int width, int height) {
    const int stride = width * 4;
    const size_t size = (size_t)stride * (size_t)height;
    int fd = memfd_create("ravnix-probe", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, (off_t)size) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return NULL;
    }
    uint32_t* pixels = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels == MAP_FAILED) {
        close(fd);
        return NULL;
    }
    for (size_t i = 0; i < size / 4; ++i) {
        pixels[i] = 0xff336699u;
    }
    munmap(pixels, size);
    struct wl_shm_pool* pool = wl_shm_create_pool(probe->shm, fd, (int32_t)size);
    struct wl_buffer* buffer =
        wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

static void xdg_surface_configure(void* data, struct xdg_surface* xdg_surface, uint32_t serial) {
    struct probe* probe = data;
    xdg_surface_ack_configure(xdg_surface, serial);
    const int width = probe->configured_width > 0 ? probe->configured_width : 1280;
    const int height = probe->configured_height > 0 ? probe->configured_height : 720;
    if (probe->buffer == NULL || width != probe->width || height != probe->height) {
        if (probe->buffer != NULL) {
            wl_buffer_destroy(probe->buffer);
        }
        probe->buffer = create_buffer(probe, width, height);
        probe->width = width;
        probe->height = height;
    }
    if (probe->buffer != NULL) {
        wl_surface_attach(probe->surface, probe->buffer, 0, 0);
        wl_surface_damage(probe->surface, 0, 0, width, height);
    }
    wl_surface_commit(probe->surface);
    if (!probe->is_ready && probe->buffer != NULL) {
        probe->is_ready = 1;
        printf("ready %d %d\n", width, height);
    }
}
static const struct xdg_surface_listener xdg_surface_listener = {
    .configure = xdg_surface_configure,
};

static void toplevel_configure(void* data, struct xdg_toplevel* toplevel, int32_t width,
                               int32_t height, struct wl_array* states) {
    struct probe* probe = data;
    (void)toplevel, (void)states;
    probe->configured_width = width;
    probe->configured_height = height;
}
static void toplevel_close(void* data, struct xdg_toplevel* toplevel) {
    (void)data, (void)toplevel;
    stopping = 1;
}
static const struct xdg_toplevel_listener toplevel_listener = {
    .configure = toplevel_configure,
    .close = toplevel_close,
};

int main(void) {
    /* Fully buffered, flushed before each wait: a flood of events costs one write per batch,
     * so the probe keeps reading the compositor, which would drop a client that falls behind. */
    static char output[1 << 16];
    setvbuf(stdout, output, _IOFBF, sizeof output);
    signal(SIGTERM, on_signal);
    signal(SIGPIPE, SIG_IGN);
    struct probe probe = {0};
    probe.display = wl_display_connect(NULL);
    if (probe.display == NULL) {
        fprintf(stderr, "wayland_probe: no compositor (WAYLAND_DISPLAY)\n");
        return 1;
    }
    struct wl_registry* registry = wl_display_get_registry(probe.display);
    wl_registry_add_listener(registry, &registry_listener, &probe);
    wl_display_roundtrip(probe.display);
    if (probe.compositor == NULL || probe.shm == NULL || probe.wm_base == NULL ||
        probe.seat == NULL) {
        fprintf(stderr, "wayland_probe: the compositor lacks wl_compositor, wl_shm, xdg_wm_base "
                        "or wl_seat\n");
        return 1;
    }
    probe.surface = wl_compositor_create_surface(probe.compositor);
    probe.xdg_surface = xdg_wm_base_get_xdg_surface(probe.wm_base, probe.surface);
    xdg_surface_add_listener(probe.xdg_surface, &xdg_surface_listener, &probe);
    probe.toplevel = xdg_surface_get_toplevel(probe.xdg_surface);
    xdg_toplevel_add_listener(probe.toplevel, &toplevel_listener, &probe);
    xdg_toplevel_set_title(probe.toplevel, "ravnix probe");
    xdg_toplevel_set_fullscreen(probe.toplevel, NULL);
    wl_surface_commit(probe.surface);

    const time_t end = time(NULL) + 300;
    while (!stopping && time(NULL) < end) {
        while (wl_display_prepare_read(probe.display) != 0) {
            if (wl_display_dispatch_pending(probe.display) < 0) {
                return 1;
            }
        }
        wl_display_flush(probe.display);
        fflush(stdout);
        struct pollfd watched[2] = {
            {.fd = wl_display_get_fd(probe.display), .events = POLLIN},
            {.fd = STDIN_FILENO, .events = POLLIN},
        };
        const int ready = poll(watched, 2, 1000);
        if (ready > 0 && (watched[0].revents & POLLIN)) {
            if (wl_display_read_events(probe.display) < 0) {
                return 1;
            }
        } else {
            wl_display_cancel_read(probe.display);
        }
        if (ready < 0 && errno != EINTR) {
            return 1;
        }
        if (ready > 0 && (watched[0].revents & (POLLERR | POLLHUP))) {
            return 1; /* the compositor went away */
        }
        if (ready > 0 && (watched[1].revents & (POLLIN | POLLHUP))) {
            char buffer[64];
            if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
                break;
            }
        }
        if (wl_display_dispatch_pending(probe.display) < 0) {
            return 1;
        }
    }
    wl_display_disconnect(probe.display);
    return 0;
}
