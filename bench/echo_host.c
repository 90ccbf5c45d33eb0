/* The least a native messaging host can do: read each frame and answer it with one fixed
 * response. The benchmark runs it beside tessora-host so that the cost of the pipes and of
 * process start-up shows apart from the host's own work. */
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

static const char kResponse[] =
    "{\"function\":\"GetVersion\",\"errorcode\":0,\"result\":\"3.4.0.3\"}";

/* Reads exactly `count` bytes into `buffer` (or discards them when it is null); 0 at the end. */
static int ReadExactly(unsigned char* buffer, size_t count) {
    unsigned char scratch[4096];
    while (count > 0) {
        size_t chunk = buffer ? count : (count < sizeof scratch ? count : sizeof scratch);
        ssize_t n = read(STDIN_FILENO, buffer ? buffer : scratch, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        if (buffer) buffer += n;
        count -= (size_t)n;
    }
    return 1;
}

int main(void) {
    unsigned char frame[4 + sizeof kResponse - 1];
    const uint32_t length = sizeof kResponse - 1;
    frame[0] = (unsigned char)length;
    frame[1] = (unsigned char)(length >> 8);
    frame[2] = (unsigned char)(length >> 16);
    frame[3] = (unsigned char)(length >> 24);
    memcpy(frame + 4, kResponse, length);
    for (;;) {
        unsigned char prefix[4];
        if (!ReadExactly(prefix, 4)) return 0;
        uint32_t n = (uint32_t)prefix[0] | ((uint32_t)prefix[1] << 8) |
                     ((uint32_t)prefix[2] << 16) | ((uint32_t)prefix[3] << 24);
        if (n == 0 || n == 0xFFFFFFFFu) return 0;
        if (!ReadExactly(NULL, n)) return 0;
        if (write(STDOUT_FILENO, frame, sizeof frame) != (ssize_t)sizeof frame) return 255;
    }
}
