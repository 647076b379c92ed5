// The interface list on Linux: getifaddrs names the interfaces and gives their IPv4 addresses,
// /sys/class/net classifies them and gives index, MAC and link speed, /proc/net/route the
// default gateway and /etc/resolv.conf the DNS server and suffix.
#include "netaudio/platform/qnb_interface.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netdb.h>
#include <netpacket/packet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "netaudio/platform/qnb_env.h"
#include "netaudio/platform/qnb_log.h"

namespace {

const char k_list_fn[] = "qnb_interface_list_with_env";

// Linux hardware types of /sys/class/net/X/type.
enum { k_arphrd_ieee1394 = 24, k_arphrd_loopback = 772, k_arphrd_6lowpan = 825 };

struct source_config {
    std::mutex lock;
    std::string root;
    qnb_interface_addrs_fn get = nullptr;
    qnb_interface_free_addrs_fn release = nullptr;
};

source_config &source()
{
    static source_config config;
    return config;
}

struct source_snapshot {
    std::string root;
    qnb_interface_addrs_fn get;
    qnb_interface_free_addrs_fn release;
};

source_snapshot take_source()
{
    source_config &config = source();
    std::lock_guard<std::mutex> guard(config.lock);
    source_snapshot snap;
    snap.root = config.root;
    snap.get = config.get ? config.get : getifaddrs;
    snap.release = config.release ? config.release : freeifaddrs;
    return snap;
}

// Interface names come from the kernel and never hold '/', but the sysfs paths are built from
// them, so refuse anything that could leave the interface's own directory.
bool name_is_path_safe(const char *name)
{
    return name[0] != '\0' && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

std::string net_path(const std::string &root, const char *name, const char *attribute)
{
    std::string path = root + "/sys/class/net/" + name;
    if (attribute != nullptr) {
        path += '/';
        path += attribute;
    }
    return path;
}

// Reads at most size - 1 bytes of a small text file, terminated, trailing white space removed.
bool read_small_file(const std::string &path, char *buffer, size_t size)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t used = 0;
    while (used + 1 < size) {
        ssize_t n = read(fd, buffer + used, size - 1 - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n < 0) {
                close(fd);
                return false;
            }
            break;
        }
        used += static_cast<size_t>(n);
    }
    close(fd);
    while (used > 0 && (buffer[used - 1] == '\n' || buffer[used - 1] == ' ' || buffer[used - 1] == '\t')) {
        used--;
    }
    buffer[used] = '\0';
    return true;
}

bool read_long(const std::string &path, long *out)
{
    char text[32];
    if (!read_small_file(path, text, sizeof text) || text[0] == '\0') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') {
        return false;
    }
    *out = value;
    return true;
}

bool is_directory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "aa:bb:cc:dd:ee:ff" -> 6 bytes; anything else leaves the MAC zero.
void parse_mac(const char *text, uint8_t mac[6])
{
    uint8_t bytes[6];
    for (int i = 0; i < 6; i++) {
        int hi = hex_digit(text[0]);
        int lo = hi < 0 ? -1 : hex_digit(text[1]);
        if (hi < 0 || lo < 0) {
            return;
        }
        bytes[i] = static_cast<uint8_t>(hi << 4 | lo);
        text += 2;
        if (i < 5) {
            if (*text != ':') {
                return;
            }
            text++;
        }
    }
    std::memcpy(mac, bytes, 6);
}

// UTF-8 to UTF-16, at most units - 1 units, stopping before a sequence that does not decode or
// does not fit with the terminator.
void utf8_to_utf16(const char *text, char16_t *out, size_t units)
{
    size_t used = 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != 0) {
        uint32_t cp;
        size_t len;
        if (p[0] < 0x80) {
            cp = p[0];
            len = 1;
        } else if ((p[0] & 0xE0) == 0xC0) {
            cp = p[0] & 0x1Fu;
            len = 2;
        } else if ((p[0] & 0xF0) == 0xE0) {
            cp = p[0] & 0x0Fu;
            len = 3;
        } else if ((p[0] & 0xF8) == 0xF0) {
            cp = p[0] & 0x07u;
            len = 4;
        } else {
            break;
        }
        bool ok = true;
        for (size_t i = 1; i < len; i++) {
            if ((p[i] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = cp << 6 | (p[i] & 0x3Fu);
        }
        static const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            break;
        }
        size_t need = cp >= 0x10000 ? 2 : 1;
        if (used + need + 1 > units) {
            break;
        }
        if (need == 2) {
            cp -= 0x10000;
            out[used++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[used++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[used++] = static_cast<char16_t>(cp);
        }
        p += len;
    }
    out[used] = 0;
}

void set_ipv4(qnb_sockaddr *record, uint32_t address_network_order)
{
    std::memset(record, 0, sizeof *record);
    record->length = sizeof(struct sockaddr_in);
    record->sin.sin_family = AF_INET;
    record->sin.sin_addr.s_addr = address_network_order;
}

unsigned prefix_of_netmask(uint32_t mask_network_order)
{
    uint32_t mask = ntohl(mask_network_order);
    unsigned n = 0;
    while (n < 32 && (mask & (0x80000000u >> n)) != 0) {
        n++;
    }
    return n;
}

// Hex fields of /proc/net/route print the address as stored, so they read back in network order.
bool find_default_gateway(const std::string &root, const char *name, uint32_t *gateway)
{
    FILE *file = std::fopen((root + "/proc/net/route").c_str(), "re");
    if (file == nullptr) {
        return false;
    }
    char line[512];
    bool found = false;
    bool header = true;
    while (!found && std::fgets(line, sizeof line, file) != nullptr) {
        if (header) {
            header = false;
            continue;
        }
        char iface[IFNAMSIZ + 1];
        unsigned long destination, via, flags;
        if (std::sscanf(line, "%16s %lx %lx %lx", iface, &destination, &via, &flags) != 4) {
            continue;
        }
        if (std::strcmp(iface, name) == 0 && destination == 0 && (flags & RTF_GATEWAY) != 0 &&
            (flags & RTF_UP) != 0 && via != 0) {
            *gateway = static_cast<uint32_t>(via);
            found = true;
        }
    }
    std::fclose(file);
    return found;
}

struct resolver_info {
    bool has_server = false;
    uint32_t server = 0;
    char suffix[64] = {0};
};

resolver_info read_resolver(const std::string &root)
{
    resolver_info info;
    FILE *file = std::fopen((root + "/etc/resolv.conf").c_str(), "re");
    if (file == nullptr) {
        return info;
    }
    char line[512];
    char search_first[64] = {0};
    bool have_domain = false;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        char key[16];
        char value[256];
        if (std::sscanf(line, "%15s %255s", key, value) != 2 || key[0] == '#' || key[0] == ';') {
            continue;
        }
        if (std::strcmp(key, "nameserver") == 0 && !info.has_server) {
            struct in_addr address;
            if (inet_pton(AF_INET, value, &address) == 1) {
                info.has_server = true;
                info.server = address.s_addr;
            }
        } else if (std::strcmp(key, "domain") == 0 && !have_domain) {
            have_domain = true;
            std::snprintf(info.suffix, sizeof info.suffix, "%.63s", value);
        } else if (std::strcmp(key, "search") == 0 && search_first[0] == '\0') {
            std::snprintf(search_first, sizeof search_first, "%.63s", value);
        }
    }
    std::fclose(file);
    if (!have_domain) {
        std::memcpy(info.suffix, search_first, sizeof info.suffix);
    }
    return info;
}

bool uevent_says_bluetooth(const std::string &root, const char *name)
{
    char text[1024];
    if (!read_small_file(net_path(root, name, "uevent"), text, sizeof text)) {
        return false;
    }
    for (const char *line = text; line != nullptr && *line != '\0';) {
        if (std::strncmp(line, "DEVTYPE=bluetooth", 17) == 0 && (line[17] == '\n' || line[17] == '\0')) {
            return true;
        }
        line = std::strchr(line, '\n');
        if (line != nullptr) {
            line++;
        }
    }
    return false;
}

uint32_t classify(const std::string &root, const char *name, unsigned flags)
{
    long type = -1;
    bool have_type = name_is_path_safe(name) && read_long(net_path(root, name, "type"), &type);
    if ((flags & IFF_LOOPBACK) != 0 || (have_type && type == k_arphrd_loopback)) {
        return QNB_INTERFACE_LOOPBACK;
    }
    if (!name_is_path_safe(name)) {
        return QNB_INTERFACE_WIRED;
    }
    std::string dir = net_path(root, name, nullptr);
    if (is_directory(dir + "/wireless") || is_directory(dir + "/phy80211")) {
        return QNB_INTERFACE_WIRELESS;
    }
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved) == nullptr) {
        return QNB_INTERFACE_WIRED; // no sysfs entry: nothing more to learn
    }
    if (have_type && type == k_arphrd_ieee1394) {
        return QNB_INTERFACE_IEEE1394;
    }
    if ((have_type && type == k_arphrd_6lowpan) || uevent_says_bluetooth(root, name)) {
        return QNB_INTERFACE_BLUETOOTH;
    }
    if (std::strstr(resolved, "/devices/virtual/") != nullptr) {
        return QNB_INTERFACE_VIRTUAL;
    }
    return QNB_INTERFACE_WIRED;
}

struct pending_interface {
    std::string name;
    unsigned flags = 0;
    bool has_address = false;
    uint32_t address = 0;
    uint32_t netmask = 0;
    int packet_index = 0;
};

qnb_error build_list(qnb_env *env, qnb_interface **out, size_t *count)
{
    if (out == nullptr || count == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    *out = nullptr;
    *count = 0;
    qnb_logger *logger = env != nullptr ? env->logger : nullptr;
    source_snapshot src = take_source();

    struct ifaddrs *list = nullptr;
    if (src.get(&list) != 0) {
        return qnb_error_last();
    }
    std::vector<pending_interface> found;
    try {
        for (struct ifaddrs *it = list; it != nullptr; it = it->ifa_next) {
            if (it->ifa_name == nullptr || it->ifa_name[0] == '\0') {
                continue;
            }
            auto match = std::find_if(found.begin(), found.end(), [&](const pending_interface &p) {
                return p.name == it->ifa_name;
            });
            if (match == found.end()) {
                found.emplace_back();
                match = found.end() - 1;
                match->name = it->ifa_name;
                match->flags = it->ifa_flags;
            }
            if (it->ifa_addr == nullptr) {
                continue;
            }
            if (it->ifa_addr->sa_family == AF_INET && !match->has_address) {
                struct sockaddr_in address;
                std::memcpy(&address, it->ifa_addr, sizeof address);
                match->has_address = true;
                match->address = address.sin_addr.s_addr;
                match->flags = it->ifa_flags;
                if (it->ifa_netmask != nullptr) {
                    struct sockaddr_in mask;
                    std::memcpy(&mask, it->ifa_netmask, sizeof mask);
                    match->netmask = mask.sin_addr.s_addr;
                }
            } else if (it->ifa_addr->sa_family == AF_PACKET) {
                struct sockaddr_ll link;
                std::memcpy(&link, it->ifa_addr, sizeof link);
                match->packet_index = link.sll_ifindex;
            }
        }
    } catch (const std::bad_alloc &) {
        src.release(list);
        return QNB_ERR_NOMEMORY;
    }
    src.release(list);

    if (found.empty()) {
        return QNB_ERR_SUCCESS;
    }
    qnb_interface *records = static_cast<qnb_interface *>(std::calloc(found.size(), sizeof(qnb_interface)));
    if (records == nullptr) {
        return QNB_ERR_NOMEMORY;
    }
    resolver_info resolver = read_resolver(src.root);

    for (size_t i = 0; i < found.size(); i++) {
        const pending_interface &p = found[i];
        qnb_interface *record = &records[i];
        const char *name = p.name.c_str();
        bool safe = name_is_path_safe(name);

        std::snprintf(record->adapter_name, sizeof record->adapter_name, "%.255s", name);
        utf8_to_utf16(name, record->name, QNB_INTERFACE_NAME_UNITS);

        long value = 0;
        if (safe && read_long(net_path(src.root, name, "ifindex"), &value) && value > 0 && value <= UINT32_MAX) {
            record->index = static_cast<uint32_t>(value);
        } else if (p.packet_index > 0) {
            record->index = static_cast<uint32_t>(p.packet_index);
        } else {
            record->index = if_nametoindex(name);
        }
        record->kind = classify(src.root, name, p.flags);

        char mac_text[64];
        if (safe && read_small_file(net_path(src.root, name, "address"), mac_text, sizeof mac_text)) {
            parse_mac(mac_text, record->mac);
        }
        if (p.has_address) {
            set_ipv4(&record->address, p.address);
            set_ipv4(&record->netmask, qnb_interface_netmask_from_prefix(prefix_of_netmask(p.netmask)));
        }
        record->up = (p.flags & IFF_UP) != 0 && (p.flags & IFF_RUNNING) != 0 ? 1 : 0;
        record->loopback = record->kind == QNB_INTERFACE_LOOPBACK ? 1 : 0;
        record->multicast = (p.flags & IFF_MULTICAST) != 0 ? 1 : 0;
        record->pktinfo_index = record->index & 0xFFFFu;
        if (record->pktinfo_index != record->index) {
            qnb_log(logger, QNB_LOG_WARNING,
                    "%s: Possible windows interface index corruption: interface %s claims to have index "
                    "%d.Setting pktinfo_index to %d.\n",
                    k_list_fn, name, static_cast<int>(record->index), static_cast<int>(record->pktinfo_index));
        }

        long speed = 0;
        if (record->up && safe && read_long(net_path(src.root, name, "speed"), &speed) && speed > 0 &&
            speed <= UINT32_MAX) {
            record->link_speed = static_cast<uint32_t>(speed);
        }
        uint64_t bits = static_cast<uint64_t>(record->link_speed) * 1000000u;
        unsigned shown = bits > UINT32_MAX ? UINT32_MAX : static_cast<unsigned>(bits);
        qnb_log(logger, QNB_LOG_DEBUG, "%s: UP=%u TX=%u RX=%u\n", k_list_fn, record->up, shown, shown);

        uint32_t gateway = 0;
        if (find_default_gateway(src.root, name, &gateway)) {
            set_ipv4(&record->gateway, gateway);
        }
        if (resolver.has_server) {
            set_ipv4(&record->dns_server, resolver.server);
        }
        std::memcpy(record->dns_suffix, resolver.suffix, sizeof record->dns_suffix);
    }

    std::stable_sort(records, records + found.size(), [](const qnb_interface &a, const qnb_interface &b) {
        if (a.kind != b.kind) {
            return a.kind < b.kind;
        }
        return a.index < b.index;
    });
    *out = records;
    *count = found.size();
    return QNB_ERR_SUCCESS;
}

size_t name_units(const char16_t *name)
{
    size_t n = 0;
    while (n < QNB_INTERFACE_NAME_UNITS && name[n] != 0) {
        n++;
    }
    return n;
}

bool names_equal(const char16_t *a, const char16_t *b)
{
    size_t la = name_units(a);
    return la == name_units(b) && std::memcmp(a, b, la * sizeof(char16_t)) == 0;
}

} // namespace

uint32_t qnb_interface_netmask_from_prefix(unsigned prefix)
{
    if (prefix == 0) {
        return 0;
    }
    if (prefix >= 32) {
        return 0xFFFFFFFFu;
    }
    return htonl(~((1u << (32 - prefix)) - 1u));
}

void qnb_interface_set_source(const char *root, qnb_interface_addrs_fn get, qnb_interface_free_addrs_fn release)
{
    source_config &config = source();
    std::lock_guard<std::mutex> guard(config.lock);
    config.root = root != nullptr ? root : "";
    while (!config.root.empty() && config.root.back() == '/') {
        config.root.pop_back();
    }
    config.get = get;
    config.release = release;
}

qnb_error qnb_interface_list_with_env(qnb_env *env, qnb_interface **out, size_t *count)
{
    return build_list(env, out, count);
}

qnb_error qnb_interface_get_by_index(qnb_interface *out, uint32_t index)
{
    qnb_interface *list = nullptr;
    size_t count = 0;
    qnb_error err = build_list(nullptr, &list, &count);
    if (err != QNB_ERR_SUCCESS) {
        return err;
    }
    err = QNB_ERR_NOTFOUND;
    for (size_t i = 0; i < count; i++) {
        if (list[i].index == index) {
            if (out != nullptr) {
                *out = list[i];
            }
            err = QNB_ERR_SUCCESS;
            break;
        }
    }
    std::free(list);
    return err;
}

qnb_error qnb_interface_get_loopback(qnb_interface *out)
{
    if (out == nullptr) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    qnb_interface *list = nullptr;
    size_t count = 0;
    qnb_error err = build_list(nullptr, &list, &count);
    if (err != QNB_ERR_SUCCESS) {
        return err;
    }
    err = QNB_ERR_NOTFOUND;
    for (size_t i = 0; i < count; i++) {
        if (list[i].loopback) {
            *out = list[i];
            err = QNB_ERR_SUCCESS;
            break;
        }
    }
    std::free(list);
    return err;
}

qnb_error qnb_interface_resolve(void *unused, qnb_interface_resolve_entry *entries, size_t count)
{
    (void)unused;
    if (entries == nullptr || count == 0) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    qnb_interface *list = nullptr;
    size_t list_count = 0;
    qnb_error err = build_list(nullptr, &list, &list_count);
    if (err != QNB_ERR_SUCCESS) {
        return err;
    }
    if (list_count == 0) {
        return QNB_ERR_NOTFOUND;
    }
    for (size_t e = 0; e < count; e++) {
        qnb_interface_resolve_entry *entry = &entries[e];
        const qnb_interface *match = nullptr;
        for (size_t i = 0; i < list_count && match == nullptr; i++) {
            if ((entry->flags & QNB_INTERFACE_RESOLVE_BY_INDEX) != 0) {
                if (list[i].index == entry->index) {
                    match = &list[i];
                }
            } else if ((entry->flags & QNB_INTERFACE_RESOLVE_BY_NAME) != 0) {
                if (names_equal(list[i].name, entry->name)) {
                    match = &list[i];
                }
            }
        }
        if (match == nullptr) {
            entry->flags = 0;
            continue;
        }
        if ((entry->flags & QNB_INTERFACE_RESOLVE_BY_INDEX) != 0) {
            std::memcpy(entry->name, match->name, sizeof entry->name);
        } else {
            entry->index = match->index;
        }
        entry->flags = QNB_INTERFACE_RESOLVE_FOUND;
    }
    std::free(list);
    return QNB_ERR_SUCCESS;
}

qnb_error qnb_getaddrinfo(qnb_sockaddr *out, int family, const char *host, const char *service)
{
    if (out == nullptr || (host == nullptr && service == nullptr)) {
        return QNB_ERR_INVALIDPARAMETER;
    }
    if (family != 0 && family != AF_INET) {
        return QNB_ERR_NOTSUPPORTED;
    }
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = family == 0 ? AF_UNSPEC : family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    struct addrinfo *result = nullptr;
    int rc = getaddrinfo(host, service, &hints, &result);
    if (rc != 0) {
        switch (rc) {
        case EAI_MEMORY: return QNB_ERR_NOMEMORY;
        case EAI_BADFLAGS: return QNB_ERR_INVALIDPARAMETER;
        case EAI_FAMILY:
        case EAI_SOCKTYPE: return QNB_ERR_NOTSUPPORTED;
        case EAI_SERVICE: return QNB_ERR_NOTFOUND;
        case EAI_NONAME:
        case EAI_NODATA: return QNB_ERR_NODATA;
        case EAI_AGAIN: return QNB_ERR_TRYAGAIN;
        case EAI_FAIL: return QNB_ERR_FAULT;
        case EAI_SYSTEM: return qnb_error_last();
        default: return QNB_ERR_SYSTEM;
        }
    }
    const struct addrinfo *pick = nullptr;
    for (const struct addrinfo *it = result; it != nullptr; it = it->ai_next) {
        if (it->ai_family == AF_INET && it->ai_addr != nullptr && it->ai_addrlen >= sizeof(struct sockaddr_in)) {
            pick = it;
            break;
        }
    }
    qnb_error err = QNB_ERR_NODATA;
    if (pick != nullptr) {
        std::memset(out, 0, sizeof *out);
        std::memcpy(&out->sin, pick->ai_addr, sizeof out->sin);
        out->length = sizeof(struct sockaddr_in);
        err = QNB_ERR_SUCCESS;
    }
    freeaddrinfo(result);
    return err;
}
