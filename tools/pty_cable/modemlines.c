/*
 * LD_PRELOAD library for a Wine process that talks to the virtual loopback cable.
 *
 * A pty has no modem lines: TIOCMGET fails, and Wine's WaitCommEvent then ends every
 * few milliseconds with ERROR_OPERATION_ABORTED, burning a core. Here the modem-line
 * ioctls on a pty slave behave like a loopback plug: RTS comes back as CTS, DTR as
 * DSR and DCD. Both start on, as a freshly opened port's do. Once the cable hangs up
 * they fail with EIO.
 *
 * A pty also forces 8 data bits and no parity, and glibc's tcsetattr then fails with
 * EINVAL, so Wine's SetCommState refuses 7 data bits or any parity. Here the data
 * bits and parity enable the program asked for are carried in c_cc[VSWTC], which no
 * line discipline uses, and given back by tcgetattr; the cable reads them there.
 *
 * Everything that is not a pty slave passes straight through.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#define CARRY_PRESENT 0x80
#define CARRY_PARENB 0x04
#define MAX_PORTS 64

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*tcsetattr_fn)(int, int, const struct termios *);
typedef int (*tcgetattr_fn)(int, struct termios *);
typedef int (*close_fn)(int);

struct port {
    int fd;
    dev_t dev;
    int lines; /* TIOCM_RTS | TIOCM_DTR as the program set them */
};

static struct port g_ports[MAX_PORTS];
static int g_portCount;
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

/* A child forked while another thread held the lock must not inherit it held: Wine
 * closes descriptors between fork and exec. */
static void unlock_in_child(void)
{
    pthread_mutex_init(&g_lock, NULL);
}

__attribute__((constructor)) static void install(void)
{
    pthread_atfork(NULL, NULL, unlock_in_child);
}

static void *next_symbol(const char *name)
{
    return dlsym(RTLD_NEXT, name);
}

/* Unix98 pty slaves are majors 136 to 143. */
static int pty_slave(int fd, dev_t *dev)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    if (major(st.st_rdev) < 136 || major(st.st_rdev) > 143)
        return 0;
    *dev = st.st_rdev;
    return 1;
}

/* A pty slave whose master was closed reports POLLHUP, and nothing else does. */
static int hung_up(int fd)
{
    struct pollfd probe;
    probe.fd = fd;
    probe.events = 0;
    probe.revents = 0;
    return poll(&probe, 1, 0) == 1 && (probe.revents & POLLHUP);
}

/* Caller holds g_lock. A reused descriptor on another pty starts afresh. */
static struct port *port_for(int fd, dev_t dev)
{
    int i;
    for (i = 0; i < g_portCount; i++) {
        if (g_ports[i].fd == fd) {
            if (g_ports[i].dev != dev) {
                g_ports[i].dev = dev;
                g_ports[i].lines = TIOCM_RTS | TIOCM_DTR;
            }
            return &g_ports[i];
        }
    }
    if (g_portCount == MAX_PORTS)
        return NULL;
    g_ports[g_portCount].fd = fd;
    g_ports[g_portCount].dev = dev;
    g_ports[g_portCount].lines = TIOCM_RTS | TIOCM_DTR;
    return &g_ports[g_portCount++];
}

static int modem_lines(int fd, unsigned long request, int *arg)
{
    struct port *port;
    int result = 0;
    pthread_mutex_lock(&g_lock);
    {
        dev_t dev;
        if (!pty_slave(fd, &dev)) {
            pthread_mutex_unlock(&g_lock);
            return -2;
        }
        port = port_for(fd, dev);
    }
    if (!port) {
        errno = ENOMEM;
        result = -1;
    } else if (hung_up(fd)) {
        /* The cable is unplugged: fail as a vanished device does, which also ends a
         * pending WaitCommEvent instead of leaving it waiting on lines that cannot move. */
        errno = EIO;
        result = -1;
    } else if (!arg) {
        errno = EFAULT;
        result = -1;
    } else {
        int wanted = *arg & (TIOCM_RTS | TIOCM_DTR);
        switch (request) {
        case TIOCMSET: port->lines = wanted; break;
        case TIOCMBIS: port->lines |= wanted; break;
        case TIOCMBIC: port->lines &= ~wanted; break;
        default: /* TIOCMGET */
            *arg = port->lines;
            if (port->lines & TIOCM_RTS)
                *arg |= TIOCM_CTS;
            if (port->lines & TIOCM_DTR)
                *arg |= TIOCM_DSR | TIOCM_CAR;
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return result;
}

static int modem_or_real(const char *realName, ioctl_fn *real, int fd, unsigned long request, void *arg)
{
    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
        int result = modem_lines(fd, request, (int *)arg);
        if (result != -2)
            return result;
    }
    if (!*real)
        *real = (ioctl_fn)next_symbol(realName);
    return (*real)(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list args;
    void *arg;
    va_start(args, request);
    arg = va_arg(args, void *);
    va_end(args);
    return modem_or_real("ioctl", &real, fd, request, arg);
}

#if defined(__i386__)
/* 32-bit glibc (2.34 and later) has a second entry point for callers built with 64-bit
 * time_t, and 32-bit Wine's ntdll calls that one, not ioctl. */
int __ioctl_time64(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list args;
    void *arg;
    va_start(args, request);
    arg = va_arg(args, void *);
    va_end(args);
    return modem_or_real("__ioctl_time64", &real, fd, request, arg);
}
#endif

int tcsetattr(int fd, int action, const struct termios *wanted)
{
    static tcsetattr_fn real;
    dev_t dev;
    if (!real)
        real = (tcsetattr_fn)next_symbol("tcsetattr");
    if (wanted && pty_slave(fd, &dev)) {
        /* Ask only for what the pty will keep: glibc reads the state back after
         * TCSETS and fails with EINVAL when CSIZE or PARENB did not stick. */
        struct termios carried = *wanted;
        carried.c_cc[VSWTC] = (cc_t)(CARRY_PRESENT | ((wanted->c_cflag & CSIZE) >> 4) |
                                     ((wanted->c_cflag & PARENB) ? CARRY_PARENB : 0));
        carried.c_cflag = (carried.c_cflag & ~(tcflag_t)(CSIZE | PARENB)) | CS8;
        return real(fd, action, &carried);
    }
    return real(fd, action, wanted);
}

int tcgetattr(int fd, struct termios *state)
{
    static tcgetattr_fn real;
    dev_t dev;
    int result;
    if (!real)
        real = (tcgetattr_fn)next_symbol("tcgetattr");
    result = real(fd, state);
    if (result == 0 && state && (state->c_cc[VSWTC] & CARRY_PRESENT) && pty_slave(fd, &dev)) {
        cc_t carried = state->c_cc[VSWTC];
        state->c_cflag &= ~(tcflag_t)(CSIZE | PARENB);
        state->c_cflag |= ((tcflag_t)(carried & 3) << 4) | ((carried & CARRY_PARENB) ? PARENB : 0);
        state->c_cc[VSWTC] = 0;
    }
    return result;
}

int close(int fd)
{
    static close_fn real;
    int i;
    if (!real)
        real = (close_fn)next_symbol("close");
    pthread_mutex_lock(&g_lock);
    for (i = 0; i < g_portCount; i++) {
        if (g_ports[i].fd == fd) {
            g_ports[i] = g_ports[--g_portCount];
            break;
        }
    }
    pthread_mutex_unlock(&g_lock);
    return real(fd);
}
