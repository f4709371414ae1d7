// The per-player credential: its format, its durable file, and its
// publication to the other threads through the state record.
#pragma once

#include <cstddef>

constexpr size_t credential_token_length = 47;
constexpr const char *credential_prefix = "vc1.";

// Exactly "vc1." and 43 letters, digits, '_' or '-'.
bool credential_is_valid(const char *text);
// Under the lock: credential = token when valid, the empty text otherwise.
void credential_publish(const char *token);
// Validates, replaces the token file through a temporary file, publishes.
// True only when the new file is in place and the credential holds the token.
bool credential_save(const char *token);
// Deletes every file in `folder` whose name is `token_file_name` followed by
// ".new.": the temporary files of saves that a crash cut short, each a full
// copy of a credential. Other files stay.
void credential_delete_leftovers(const char *folder, const char *token_file_name);
enum class token_file_read { unreadable, invalid, valid };
// The first line of the token file at `path`, white space around it removed,
// into out (credential_size bytes) when it is a valid credential.
token_file_read credential_read_token_line(const char *path, char *out);
// Publishes the token on the first line of the file at `path` (white space
// around it removed) when it is a valid credential; otherwise the credential
// is left as it is. True when published.
bool credential_read_token_file(const char *path);
