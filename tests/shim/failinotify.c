/* Test shim, loaded with LD_PRELOAD: inotify_init fails with EMFILE, as it
 * does on a device whose inotify instances are used up. Lets a test reach
 * the start-up exit that follows the listener start. */
#include <errno.h>
#include <sys/inotify.h>

int inotify_init(void)
{
    errno = EMFILE;
    return -1;
}

int inotify_init1(int flags)
{
    (void)flags;
    errno = EMFILE;
    return -1;
}
