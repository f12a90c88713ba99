/* pollfloor: the least CPU an idle "one thread per session, poll every
 * 100 ms" server can use on this machine. Starts N threads; each owns two
 * connected, idle loopback TCP sockets (like a session's SSH and telnet
 * sockets) and polls them with a 100 ms time-out for ever. Prints "ready"
 * when all threads run; the caller measures its CPU and kills it.
 *
 *   pollfloor N
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

static int g_listen_fd;
static struct sockaddr_in g_addr;
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;

/* One connected pair; the accepted end stays open (and idle) for ever. */
static int connected_socket(void)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        exit(1);
    }
    pthread_mutex_lock(&g_mutex);
    if (connect(fd, (struct sockaddr *)&g_addr, sizeof(g_addr)) != 0 ||
        accept(g_listen_fd, NULL, NULL) < 0) {
        perror("connect/accept");
        exit(1);
    }
    pthread_mutex_unlock(&g_mutex);
    return fd;
}

static void *session(void *arg)
{
    struct pollfd fds[2];
    fds[0].fd = connected_socket();
    fds[1].fd = connected_socket();
    fds[0].events = fds[1].events = POLLIN;
    __atomic_add_fetch((int *)arg, 1, __ATOMIC_SEQ_CST);
    for (;;) {
        poll(fds, 2, 100);
    }
    return NULL;
}

int main(int argc, char **argv)
{
    int n = argc > 1 ? atoi(argv[1]) : 500;
    static int started;
    socklen_t len = sizeof(g_addr);
    pthread_attr_t attr;

    g_listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    g_addr.sin_family = AF_INET;
    g_addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(g_listen_fd, (struct sockaddr *)&g_addr, sizeof(g_addr)) != 0 ||
        getsockname(g_listen_fd, (struct sockaddr *)&g_addr, &len) != 0 ||
        listen(g_listen_fd, 64) != 0) {
        perror("listen");
        return 1;
    }
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1572864); /* as the service's threads */
    for (int i = 0; i < n; i++) {
        pthread_t tid;
        if (pthread_create(&tid, &attr, session, &started) != 0) {
            perror("pthread_create");
            return 1;
        }
    }
    for (int i = 0; i < 1000 && __atomic_load_n(&started, __ATOMIC_SEQ_CST) < n; i++) {
        usleep(10000);
    }
    printf("ready %d\n", started);
    fflush(stdout);
    pause();
    return 0;
}
