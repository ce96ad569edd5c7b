/* A broken video helper for the host's failure tests; $VT_FAKE_VIDEO chooses how it fails:
 * "absent" never connects, "mute" opens but never answers a frame, "garbage" answers open
 * with nonsense, "dies" opens and dies in the middle of a frame. */
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "sdk/vt_video.h"

int main(int argc, char** argv) {
    const char* mode = getenv("VT_FAKE_VIDEO");
    struct sockaddr_un a = {.sun_family = AF_UNIX};
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (argc < 2 || mode == NULL || strcmp(mode, "absent") == 0)
        return sleep(30), 1;
    memcpy(a.sun_path + 1, argv[1], strlen(argv[1]));
    if (connect(fd, (struct sockaddr*)&a, (socklen_t)(sizeof(sa_family_t) + 1 + strlen(argv[1]))))
        return 1;
    VtVideoMessage m;
    char skip[4096];
    while (recv(fd, &m, sizeof(m), MSG_WAITALL) == sizeof(m)) {
        if (m.payload_size > 0 && m.payload_size <= sizeof(skip))
            recv(fd, skip, m.payload_size, MSG_WAITALL);
        VtVideoMessage r = {.code = VT_VIDEO_REPLY | m.code};
        if (strcmp(mode, "garbage") == 0)
            memset(&r, 0xA5, sizeof(r));
        else if (m.code == VT_VIDEO_READ_FRAME && strcmp(mode, "mute") == 0)
            continue;
        else if (m.code == VT_VIDEO_READ_FRAME)
            r.payload_size = 8 + 64 * 64 * 4;
        send(fd, &r, sizeof(r), MSG_NOSIGNAL);
        if (r.payload_size == 8 + 64 * 64 * 4)
            return send(fd, skip, 100, MSG_NOSIGNAL), 1;
    }
    return 0;
}
