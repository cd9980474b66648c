// Test helper for the tool's scenarios, for what a shell cannot do with
// sockets:
//   sockets uevent TEXT       multicasts TEXT, its ';' turned into NULs, as
//                             a kernel uevent (group 1; root, own namespace)
//   sockets listen PATH       binds a datagram socket at PATH and prints
//                             each datagram as a line, until killed
//   sockets deaf PATH         binds one and never reads it, until killed
//   sockets deaf PATH         binds one and never reads it, until killed
#include <stdio.h>
#include <string.h>
#include <sys/un.h>
#include <unistd.h>

#include "Uevent.h"

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "uevent") == 0)
        return sendUevent(argv[2]) ? 0 : 1;
    if (argc == 3 && (strcmp(argv[1], "listen") == 0 || strcmp(argv[1], "deaf") == 0)) {
        const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, argv[2], sizeof address.sun_path - 1);
        if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return 1;
        while (argv[1][0] == 'd')
            pause();
        char buffer[4096];
        for (ssize_t n; (n = recv(sock, buffer, sizeof buffer, 0)) >= 0;)
        {
            printf("%.*s\n", static_cast<int>(n), buffer);
            fflush(stdout);
        }
    }
    return 2;
}
