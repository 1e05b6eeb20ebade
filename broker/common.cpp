// What the broker client does without a client library: the address, the topics' names and
// the samples' JSON.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "broker/broker.h"
#include "common/common.h"
#include "logging/times_file.h"

namespace vg::broker {

namespace {

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

bool isHost(std::string_view host) {
    if (host.empty()) {
        return false;
    }
    for (const char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == ':';
        if (!ok) {
            return false;
        }
    }
    return true;
}

char* putText(char* out, const char* text) {
    const std::size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return out + n;
}

// As the samples log prints the value; JSON has no word for NaN or infinity.
char* putValue(char* out, float v) {
    if (!std::isfinite(v)) {
        return putText(out, "null");
    }
    return out + logging::formatLogValue(out, v);
}

char* putValues(char* out, const float* values, std::size_t count) {
    *out++ = '[';
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            *out++ = ',';
        }
        out = putValue(out, values[i]);
    }
    *out++ = ']';
    return out;
}

}  // namespace

UrlError parseUrl(std::string_view text, Url& url) {
    url = Url{};
    constexpr std::string_view kPlain = "mqtt://";
    constexpr std::string_view kTls = "mqtts://";
    if (text.substr(0, kPlain.size()) == kPlain) {
        text.remove_prefix(kPlain.size());
    } else if (text.substr(0, kTls.size()) == kTls) {
        text.remove_prefix(kTls.size());
        url.tls = true;
    } else {
        return UrlError::Scheme;
    }
    const std::size_t slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    std::string_view prefix = slash == std::string_view::npos ? "" : text.substr(slash + 1);
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view userInfo = authority.substr(0, at);
        if (userInfo.find(':') != std::string_view::npos) {
            return UrlError::Password;
        }
        url.user = std::string(userInfo);
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return UrlError::Host;
        }
        host = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return UrlError::Host;
        }
        port = rest.empty() ? "" : rest.substr(1);
        if (rest == ":") {
            return UrlError::Port;
        }
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.empty()) {
            return UrlError::Port;
        }
    }
    if (!isHost(host)) {
        return UrlError::Host;
    }
    url.host = std::string(host);
    url.port = url.tls ? 8883 : 1883;
    if (!port.empty() && (!common::readPort(port, url.port) || url.port == 0)) {
        return UrlError::Port;
    }
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.remove_suffix(1);  // "mqtt://host/lab/" names the same prefix as ".../lab"
    }
    if (prefix.empty()) {
        prefix = "vglog";
    }
    for (std::size_t start = 0; start <= prefix.size();) {
        const std::size_t end = std::min(prefix.find('/', start), prefix.size());
        if (!isTopicLevel(prefix.substr(start, end - start))) {
            return UrlError::Prefix;
        }
        start = end + 1;
    }
    url.prefix = std::string(prefix);
    return UrlError::None;
}

bool isTopicLevel(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        if (c == '/' || c == '+' || c == '#' || isControl(c)) {
            return false;
        }
    }
    return true;
}

std::size_t formatSample(char* buf, const Sample& s, logging::UtcCache& utc) {
    const logging::AngleAccelRecord& r = s.record;
    char* p = buf;
    p += std::snprintf(p, 64, "{\"line\":%llu,\"sample\":%d",
                       static_cast<unsigned long long>(s.line),
                       static_cast<int>(static_cast<std::int16_t>(r.sample)));  // as logged
    p = putText(p, ",\"phi\":");
    p = putValue(p, r.phi);
    p = putText(p, ",\"theta\":");
    p = putValue(p, r.theta);
    p = putText(p, ",\"psi\":");
    p = putValue(p, r.psi);
    const float accel[] = {r.x, r.y, r.z};
    const float world[] = {r.xWorld, r.yWorld, r.zWorld};
    p = putValues(putText(p, ",\"accel\":"), accel, 3);
    p = putValues(putText(p, ",\"world\":"), world, 3);
    p = putValues(putText(p, ",\"quat\":"), r.quat.data(), 4);
    p = putText(p, ",\"host_utc\":\"");
    p += logging::formatUtc(p, s.wallUs, utc);
    *p++ = '"';
    if (s.hasBoard) {
        const std::uint64_t magnitude = s.boardUs < 0 ? 0 - static_cast<std::uint64_t>(s.boardUs)
                                                      : static_cast<std::uint64_t>(s.boardUs);
        p += std::snprintf(p, 64, ",\"board_s\":%s%llu.%06llu", s.boardUs < 0 ? "-" : "",
                           static_cast<unsigned long long>(magnitude / 1000000),
                           static_cast<unsigned long long>(magnitude % 1000000));
    }
    *p++ = '}';
    return static_cast<std::size_t>(p - buf);
}

}  // namespace vg::broker
