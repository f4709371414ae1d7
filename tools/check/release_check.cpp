// release VERSION --out DIR: the files of a release, checked by the plugin's
// own update rule before any is written.
#include "checks.h"
#include "core/text.h"
#include "identity/https_client.h"
#include "platform/platform.h"
#include "release_manifest.h"
#include "update/update_check.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {
// Far above any build of the plugin; a larger file is no library of it.
constexpr size_t max_library_bytes = 64u * 1024u * 1024u;
constexpr char bundle_file_name[] = "quorvane_voice.mumble_plugin";
constexpr char release_document_name[] = "stable.json";

using bytes = std::vector<unsigned char>;

bool read_file(const std::string &path, bytes *out) {
    std::FILE *f = platform_open_for_read(path.c_str());
    if (!f) return false;
    out->clear();
    unsigned char chunk[65536];
    bool ok = true;
    for (;;) {
        size_t n = std::fread(chunk, 1, sizeof chunk, f);
        out->insert(out->end(), chunk, chunk + n);
        if (out->size() > max_library_bytes) ok = false;
        if (n < sizeof chunk || !ok) break;
    }
    ok = ok && !std::ferror(f);
    std::fclose(f);
    return ok;
}

uint32_t little_u16(const bytes &b, size_t at) { return at + 2 <= b.size() ? b[at] | (b[at + 1] << 8) : 0; }
uint32_t little_u32(const bytes &b, size_t at) {
    return at + 4 <= b.size() ? little_u16(b, at) | (little_u16(b, at + 2) << 16) : 0;
}

// A 64-bit x86 Windows DLL: MZ, then a PE header for AMD64 marked as a DLL.
bool is_windows_library(const bytes &b) {
    constexpr size_t pe_offset_at = 0x3C;
    constexpr uint32_t machine_amd64 = 0x8664;
    constexpr uint32_t characteristic_dll = 0x2000;
    if (b.size() < pe_offset_at + 4 || b[0] != 'M' || b[1] != 'Z') return false;
    const size_t pe = little_u32(b, pe_offset_at);
    if (pe + 24 > b.size() || std::memcmp(&b[pe], "PE\0\0", 4) != 0) return false;
    return little_u16(b, pe + 4) == machine_amd64 && (little_u16(b, pe + 22) & characteristic_dll) != 0;
}

// A 64-bit little-endian x86-64 ELF shared object.
bool is_linux_library(const bytes &b) {
    constexpr uint32_t type_shared = 3;
    constexpr uint32_t machine_x86_64 = 62;
    if (b.size() < 20 ||
        std::memcmp(b.data(),
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        b[4] != 2 || b[5] != 1)
        return false;
    return little_u16(b, 16) == type_shared && little_u16(b, 18) == machine_x86_64;
}

// The version a library of the plugin was built as: its web user agent,
// "QuorvaneVoice/<version>", lies in it as a terminated text.
std::string library_version(const bytes &b) {
    constexpr size_t longest = 64;
    const size_t prefix = std::strlen(QV_USER_AGENT_PRODUCT);
    for (size_t i = 0; i + prefix < b.size(); ++i) {
        if (std::memcmp(&b[i], QV_USER_AGENT_PRODUCT, prefix) != 0) continue;
        std::string text;
        size_t j = i + prefix;
        for (; j < b.size() && b[j] != 0 && text.size() < longest; ++j)
            text += static_cast<char>(b[j]);
        parsed_version v{};
        if (j < b.size() && b[j] == 0 && parse_version(text.c_str(), &v)) return text;
    }
    return "";
}

// ---- the bundle: a zip of stored entries ---------------------------------------

uint32_t crc32(const bytes &data) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        ready = true;
    }
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char byte : data)
        c = table[(c ^ byte) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put16(bytes *out, uint32_t v) {
    out->push_back(static_cast<unsigned char>(v & 0xFF));
    out->push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}
void put32(bytes *out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

struct zip_entry {
    std::string name;
    const bytes *data;
};

// Stored, not compressed: every zip reader takes it, and the same input
// makes the same bundle (the time stamps are all 1980-01-01).
bytes make_zip(const std::vector<zip_entry> &entries) {
    constexpr uint32_t version_needed = 20;
    constexpr uint32_t dos_date = (1 << 5) | 1;
    bytes out, directory;
    for (const zip_entry &e : entries) {
        const uint32_t offset = static_cast<uint32_t>(out.size());
        const uint32_t crc = crc32(*e.data);
        const uint32_t size = static_cast<uint32_t>(e.data->size());
        put32(&out, 0x04034b50);
        put16(&out, version_needed);
        put16(&out, 0);  // flags
        put16(&out, 0);  // stored
        put16(&out, 0);  // time
        put16(&out, dos_date);
        put32(&out, crc);
        put32(&out, size);
        put32(&out, size);
        put16(&out, static_cast<uint32_t>(e.name.size()));
        put16(&out, 0);
        out.insert(out.end(), e.name.begin(), e.name.end());
        out.insert(out.end(), e.data->begin(), e.data->end());

        put32(&directory, 0x02014b50);
        put16(&directory, version_needed);
        put16(&directory, version_needed);
        put16(&directory, 0);
        put16(&directory, 0);
        put16(&directory, 0);
        put16(&directory, dos_date);
        put32(&directory, crc);
        put32(&directory, size);
        put32(&directory, size);
        put16(&directory, static_cast<uint32_t>(e.name.size()));
        put16(&directory, 0);  // extra
        put16(&directory, 0);  // comment
        put16(&directory, 0);  // disk
        put16(&directory, 0);  // internal attributes
        put32(&directory, 0);  // external attributes
        put32(&directory, offset);
        directory.insert(directory.end(), e.name.begin(), e.name.end());
    }
    const uint32_t directory_offset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), directory.begin(), directory.end());
    put32(&out, 0x06054b50);
    put16(&out, 0);
    put16(&out, 0);
    put16(&out, static_cast<uint32_t>(entries.size()));
    put16(&out, static_cast<uint32_t>(entries.size()));
    put32(&out, static_cast<uint32_t>(directory.size()));
    put32(&out, directory_offset);
    put16(&out, 0);
    return out;
}

// Through a temporary file and one move, so a failed run never leaves half a
// file under a published name.
bool write_file(const std::string &path, const bytes &data) {
    const std::string temporary = path + ".tmp";
    std::FILE *f = platform_open_for_write(temporary.c_str(), false);
    if (!f) return false;
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = ok && std::fflush(f) == 0 && platform_flush_to_disk(f);
    ok = (std::fclose(f) == 0) && ok;
    ok = ok && platform_replace_file(temporary.c_str(), path.c_str());
    if (!ok) platform_delete_file(temporary.c_str());
    return ok;
}

bytes as_bytes(const std::string &text) { return bytes(text.begin(), text.end()); }

struct library_input {
    const release_platform *platform;
    const std::string *path;
    bool (*format_ok)(const bytes &);
    const char *format_words;
    bytes data;
};
}  // namespace

check_outcome check_release(const release_options &o, check_report &r, std::string *summary) {
    parsed_version release{}, own{};
    parse_version(o.version.c_str(), &release);  // checked by the command line
    parse_version(own_version_text, &own);
    r.section("Release " + o.version + " for " + o.web_host);
    if (!version_is_newer(&release, &own)) {
        r.line(o.version + " is not newer than " + own_version_text + ", this build's version");
        *summary = o.version + " is not newer than " + own_version_text +
                   ": the plugin would offer it to nobody, so nothing was written";
        return check_outcome::usage;
    }
    r.line(o.version + " is newer than " + own_version_text + " (this build): the plugin offers it");

    library_input libraries[] = {
        {&release_windows, &o.windows_library, &is_windows_library, "a 64-bit Windows DLL", {}},
        {&release_linux, &o.linux_library, &is_linux_library, "a 64-bit x86-64 Linux shared object", {}},
    };
    for (library_input &lib : libraries) {
        if (!read_file(*lib.path, &lib.data)) {
            *summary = "cannot read " + *lib.path + " (or it is over 64 MiB): nothing was written";
            return check_outcome::usage;
        }
        const std::string found = library_version(lib.data);
        r.line(text_format("%s library %s: %zu bytes, ", lib.platform->os, lib.path->c_str(), lib.data.size()) +
               (lib.format_ok(lib.data) ? lib.format_words : "not " + std::string(lib.format_words)) + ", " +
               (found.empty() ? "no version found" : "version " + found));
        if (!lib.format_ok(lib.data))
            r.problem("library_format",
                      *lib.path + " is not " + lib.format_words + ", as the " + lib.platform->os + " library must be",
                      std::string("library_format:") + lib.platform->os);
        if (found.empty())
            r.problem("library_version",
                      *lib.path + " holds no version of this plugin: it is no Quorvane Voice library",
                      std::string("library_version:") + lib.platform->os);
        else if (found != o.version)
            r.problem("library_version",
                      *lib.path + " is version " + found + ", not " + o.version + ": once installed it would report " +
                          found + ", so Mumble would offer the update again and again",
                      std::string("library_version:") + lib.platform->os);
    }

    // The release description, with both platforms' fields.
    char names[2][release_file_name_size];
    char urls[2][release_url_size];
    for (int i = 0; i < 2; ++i) {
        if (!release_expected_download(*libraries[i].platform, o.version.c_str(), o.web_host.c_str(), names[i],
                                       sizeof names[i], urls[i], sizeof urls[i])) {
            *summary = "the version or web host is too long for the plugin's file name and address buffers";
            return check_outcome::usage;
        }
    }
    const std::string document =
        text_format("{\"version\":\"%s\",\"revoked\":false,\"%s\":\"%s\",\"%s\":\"%s\",\"%s\":\"%s\",\"%s\":\"%s\"}\n",
                    o.version.c_str(), release_windows.file_name_field, names[0], release_windows.url_field, urls[0],
                    release_linux.file_name_field, names[1], release_linux.url_field, urls[1]);
    r.section("Release description, read as the plugin reads it");
    r.line(r.quote(document.substr(0, document.size() - 1), 1000));
    if (document.size() >= http_response_size)
        r.problem("body_too_long", "the description is longer than the plugin reads");
    for (const release_platform *p : {&release_windows, &release_linux}) {
        release_reading reading{};
        const release_verdict verdict = release_decide(200, document.c_str(), o.web_host.c_str(), *p, own, &reading);
        if (verdict == release_verdict::offered) {
            char address[release_url_size];
            release_download_address(*p, o.web_host.c_str(), address, sizeof address);
            r.line(text_format("%s: offered to %s players, who download %s", p->os, own_version_text, address));
        } else {
            r.line(text_format("%s: not offered", p->os));
            r.problem("not_offered", text_format("the description would not offer the update on %s", p->os),
                      std::string("not_offered:") + p->os);
        }
    }

    if (r.problem_count() > 0) {
        std::string reasons;
        for (const std::string &reason : r.problem_reasons())
            reasons += (reasons.empty() ? "" : ", ") + reason;
        *summary = text_format("%zu problem%s: ", r.problem_count(), r.problem_count() == 1 ? "" : "s") + reasons +
                   "; nothing was written";
        return check_outcome::problems;
    }

    const std::string manifest = text_format(
        release_manifest_format, text_format("%u.%u.%u", release.major, release.minor, release.patch).c_str());
    const bytes manifest_bytes = as_bytes(manifest);
    const bytes bundle = make_zip({{"manifest.xml", &manifest_bytes},
                                   {release_windows.library, &libraries[0].data},
                                   {release_linux.library, &libraries[1].data}});

    if (!platform_make_folder(o.out_dir.c_str())) {
        *summary = "cannot make the folder " + o.out_dir + " (its parent must exist): nothing was written";
        return check_outcome::failed;
    }
    const std::string folder = o.out_dir + platform_path_separator();
    const struct {
        std::string name;
        const bytes *data;
        std::string where;
    } outputs[] = {
        {names[0], &libraries[0].data, std::string("publish at ") + urls[0]},
        {names[1], &libraries[1].data, std::string("publish at ") + urls[1]},
        {bundle_file_name, &bundle, "the bundle for players who install by hand (manifest.xml and both libraries)"},
    };
    const bytes document_bytes = as_bytes(document);
    r.section("Written to " + o.out_dir);
    for (const auto &out : outputs) {
        if (!write_file(folder + out.name, *out.data)) {
            *summary = "cannot write " + folder + out.name;
            return check_outcome::failed;
        }
        r.line(text_format("%-30s %s", out.name.c_str(), out.where.c_str()));
    }
    // Written last, as it is to be published last: once it is up, players are
    // offered the files above.
    if (!write_file(folder + release_document_name, document_bytes)) {
        *summary = "cannot write " + folder + release_document_name;
        return check_outcome::failed;
    }
    r.line(text_format("%-30s publish last, at https://%s%s", release_document_name, o.web_host.c_str(),
                       stable_release_path));
    for (int i = 0; i < 2; ++i) {
        char address[release_url_size];
        release_download_address(*libraries[i].platform, o.web_host.c_str(), address, sizeof address);
        r.line(text_format("and %s again at %s, where Mumble downloads it", names[i], address));
    }
    *summary = "release " + o.version + " written to " + o.out_dir + "; offered to Windows and Linux players of " +
               own_version_text;
    return check_outcome::conforms;
}
