#include "server_line.h"

#include <cstring>

server_line_kind classify_server_line(const char *line) {
    if (line[0] == '\0') return server_line_kind::empty;
    if (std::strcmp(line, "PING") == 0) return server_line_kind::ping;
    if (std::strncmp(line, "UPDATE", 6) == 0) return server_line_kind::speaker_update;
    return server_line_kind::other;
}
