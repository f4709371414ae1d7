// What a line from the falloff server is, once the connection is accepted.
#pragma once

enum class server_line_kind {
    empty,           // ignored
    ping,            // exactly "PING": answered with "OK"
    speaker_update,  // begins with "UPDATE" (UPDATE and UPDATE2 alike)
    other,           // ignored, also the server's answer to the plugin's PING
};

server_line_kind classify_server_line(const char *line);
