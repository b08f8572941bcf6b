// SPDX-License-Identifier: GPL-3.0-or-later
// Signature report: a privacy-safe description of one advertisement, with its own JSON
// writer so the layout never changes.
#include "ovk_sigreport.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "ovk_util.h"
#include "zq_log.h"

namespace {

struct JsonDeleter {
    void operator()(cJSON* j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

// Thrown inside this file only when a cJSON node cannot be allocated.
struct NoMemory {};

cJSON* must(cJSON* j) {
    if (!j) throw NoMemory{};
    return j;
}

void add_str(cJSON* o, const char* key, std::string_view v) {
    must(cJSON_AddStringToObject(o, key, std::string(v).c_str()));
}

// The writer's growing text: starts at 256 bytes (or the first power of two from 512 up
// that fits a larger first write) and doubles.
class JBuf {
  public:
    void add(std::string_view s) {
        if (err_) return;
        const size_t need = s_.size() + s.size() + 1;
        if (need > cap_) {
            size_t cap = cap_;
            if (cap == 0) {
                if (need <= 256) {
                    cap = 256;
                } else {
                    cap = 512;
                    while (cap < need) cap *= 2;
                }
            } else {
                while (cap < need) cap *= 2;
            }
            try {
                s_.reserve(cap - 1);
            } catch (const std::exception&) {
                OVK_LOG_REALLOC_FAIL(char, cap, b->s);
                err_ = true;
                return;
            }
            cap_ = cap;
        }
        s_.append(s);
    }
    void add(char c) { add(std::string_view(&c, 1)); }
    void indent(int level) {
        for (int i = 0; i < level; i++) add("  ");
    }
    bool failed() const { return err_; }
    std::string take() { return std::move(s_); }

  private:
    std::string s_;
    size_t cap_ = 0;
    bool err_ = false;
};

void write_string(JBuf& b, const char* s) {
    b.add('"');
    if (s) {
        std::string_view v(s);
        size_t run = 0;  // start of the bytes not yet copied
        auto flush = [&](size_t i) {
            if (i > run) b.add(v.substr(run, i - run));
        };
        for (size_t i = 0; i < v.size(); i++) {
            const auto c = static_cast<unsigned char>(v[i]);
            const char* esc = nullptr;
            char u[8];
            size_t skip = 1;
            switch (c) {
                case '"':
                    esc = "\\\"";
                    break;
                case '\\':
                    esc = "\\\\";
                    break;
                case '\b':
                    esc = "\\b";
                    break;
                case '\f':
                    esc = "\\f";
                    break;
                case '\n':
                    esc = "\\n";
                    break;
                case '\r':
                    esc = "\\r";
                    break;
                case '\t':
                    esc = "\\t";
                    break;
                default:
                    if (c < 0x20) {
                        std::snprintf(u, sizeof u, "\\u%04x", c);
                        esc = u;
                    } else if (c == 0xE2 && i + 2 < v.size() &&
                               static_cast<unsigned char>(v[i + 1]) == 0x80 &&
                               (static_cast<unsigned char>(v[i + 2]) == 0xA8 ||
                                static_cast<unsigned char>(v[i + 2]) == 0xA9)) {
                        esc = static_cast<unsigned char>(v[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
                        skip = 3;
                    }
                    break;
            }
            if (!esc) continue;
            flush(i);
            b.add(esc);
            run = i + skip;
            i += skip - 1;
        }
        flush(v.size());
    }
    b.add('"');
}

void write_value(JBuf& b, const cJSON* item, int level) {
    if (cJSON_IsObject(item) || cJSON_IsArray(item)) {
        const bool obj = cJSON_IsObject(item);
        const cJSON* child = item->child;
        if (!child) {
            b.add(obj ? "{}" : "[]");
            return;
        }
        b.add(obj ? '{' : '[');
        for (; child; child = child->next) {
            b.add('\n');
            b.indent(level + 1);
            if (obj) {
                write_string(b, child->string);
                b.add(": ");
            }
            write_value(b, child, level + 1);
            if (child->next) b.add(',');
        }
        b.add('\n');
        b.indent(level);
        b.add(obj ? '}' : ']');
    } else if (cJSON_IsNumber(item)) {
        char num[24];
        std::snprintf(num, sizeof num, "%d", item->valueint);
        b.add(num);
    } else if (cJSON_IsString(item)) {
        write_string(b, item->valuestring);
    } else if (cJSON_IsTrue(item)) {
        b.add("true");
    } else if (cJSON_IsFalse(item)) {
        b.add("false");
    } else {
        b.add("null");
    }
}

std::string uuid_text(const OVK_UUID& u) {
    const int s = ovk_uuid_short(u);
    if (s >= 0) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(s));
        return buf;
    }
    return ovk_uuid_str(u);
}

std::string cid_text(uint16_t cid) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(cid));
    return buf;
}

std::string header_hex(const std::vector<uint8_t>& data) {
    return ovk_hex(ovk_bytes(data.data(), std::min<size_t>(2, data.size())), "");
}

void add_payload_entry(cJSON* arr, const char* key_name, const std::string& key,
                       const std::vector<uint8_t>& data) {
    cJSON* e = must(cJSON_CreateObject());
    if (!cJSON_AddItemToArray(arr, e)) {
        cJSON_Delete(e);
        throw NoMemory{};
    }
    add_str(e, key_name, key);
    must(cJSON_AddNumberToObject(e, "length", static_cast<double>(data.size())));
    add_str(e, "header", header_hex(data));
}

Json build(const OVK_ADVERT& a, std::string_view vendor, std::string_view device_type,
           bool randomized, std::string_view user_note, std::string_view app_version) {
    Json root(must(cJSON_CreateObject()));
    cJSON* o = root.get();
    add_str(o, "format", OVK_SIGREPORT_FORMAT);
    add_str(o, "app", app_version);
    add_str(o, "radio", a.source == OVK_SRC_WIFI ? "WIFI" : "BLE");
    if (!randomized) {
        std::string oui = a.mac.substr(0, 8);
        for (char& c : oui) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        add_str(o, "oui", oui);
    }
    if (!ovk_is_blank(vendor)) add_str(o, "vendor", vendor);
    if (!ovk_is_blank(device_type)) add_str(o, "guessedType", device_type);
    add_str(o, "addressType", ovk_addr_name(a.addr_type));
    if (a.name && !ovk_is_blank(*a.name)) add_str(o, "namePattern", ovk_name_pattern(*a.name));
    if (a.connectable != -1) must(cJSON_AddBoolToObject(o, "connectable", a.connectable != 0));
    if (a.has_tx_power) must(cJSON_AddNumberToObject(o, "txPower", a.tx_power));
    if (!a.phy.empty()) add_str(o, "phy", a.phy);

    if (!a.uuids.empty()) {
        std::vector<std::string> texts;
        texts.reserve(a.uuids.size());
        for (const OVK_UUID& u : a.uuids) texts.push_back(uuid_text(u));
        std::sort(texts.begin(), texts.end());
        texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
        cJSON* arr = must(cJSON_AddArrayToObject(o, "serviceUuids"));
        for (const std::string& t : texts) {
            cJSON* s = must(cJSON_CreateString(t.c_str()));
            if (!cJSON_AddItemToArray(arr, s)) {
                cJSON_Delete(s);
                throw NoMemory{};
            }
        }
    }
    if (!a.mfg.empty()) {
        std::vector<const OVK_MFG*> mfgs;
        mfgs.reserve(a.mfg.size());
        for (const OVK_MFG& m : a.mfg) mfgs.push_back(&m);
        std::stable_sort(mfgs.begin(), mfgs.end(),
                         [](const OVK_MFG* x, const OVK_MFG* y) { return x->cid < y->cid; });
        cJSON* arr = must(cJSON_AddArrayToObject(o, "manufacturerData"));
        for (const OVK_MFG* m : mfgs)
            add_payload_entry(arr, "companyId", cid_text(m->cid), m->data);
    }
    if (!a.svc.empty()) {
        std::vector<std::pair<std::string, const OVK_SVCDATA*>> items;
        items.reserve(a.svc.size());
        for (const OVK_SVCDATA& s : a.svc) items.emplace_back(ovk_uuid_str(s.uuid), &s);
        std::stable_sort(items.begin(), items.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
        cJSON* arr = must(cJSON_AddArrayToObject(o, "serviceData"));
        for (const auto& [text, s] : items)
            add_payload_entry(arr, "uuid", uuid_text(s->uuid), s->data);
    }
    if (a.source == OVK_SRC_WIFI) {
        cJSON* w = must(cJSON_AddObjectToObject(o, "wifi"));
        add_str(w, "band", a.freq_mhz < 4900 ? "2.4 GHz" : a.freq_mhz < 5925 ? "5 GHz" : "6 GHz");
        add_str(w, "security", a.caps ? *a.caps : std::string());
        if (a.standard && !a.standard->empty()) add_str(w, "standard", *a.standard);
        if (!a.name || ovk_is_blank(*a.name)) must(cJSON_AddTrueToObject(w, "hidden"));
        std::vector<std::string> ouis;
        for (const OVK_IE& ie : a.ies) {
            if (ie.id != 221 || ie.data.size() < 3) continue;
            char buf[12];
            std::snprintf(buf, sizeof buf, "%02X:%02X:%02X", ie.data[0], ie.data[1], ie.data[2]);
            ouis.emplace_back(buf);
        }
        if (!ouis.empty()) {
            std::sort(ouis.begin(), ouis.end());
            ouis.erase(std::unique(ouis.begin(), ouis.end()), ouis.end());
            cJSON* arr = must(cJSON_AddArrayToObject(w, "vendorIeOuis"));
            for (const std::string& t : ouis) {
                cJSON* s = must(cJSON_CreateString(t.c_str()));
                if (!cJSON_AddItemToArray(arr, s)) {
                    cJSON_Delete(s);
                    throw NoMemory{};
                }
            }
        }
    }
    const std::string note = ovk_sigreport_note(user_note);
    if (!note.empty()) add_str(o, "whatIThinkItIs", note);
    return root;
}

}  // namespace

std::string ovk_name_pattern(std::string_view name) {
    std::string out = ovk_trim(name);
    size_t i = 0;
    while (i < out.size()) {
        if (!std::isdigit(static_cast<unsigned char>(out[i]))) {
            i++;
            continue;
        }
        size_t j = i;
        while (j < out.size() && std::isdigit(static_cast<unsigned char>(out[j]))) j++;
        if (j - i >= 4)
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(i),
                      out.begin() + static_cast<std::ptrdiff_t>(j), '#');
        i = j;
    }
    return out;
}

std::string ovk_sigreport_note(std::string_view note) {
    std::string t = ovk_trim(note, 2048);
    size_t chars = 0, end = 0, i = 0;
    while (i < t.size() && chars < 300) {
        size_t j = i + 1;
        while (j < t.size() && (static_cast<unsigned char>(t[j]) & 0xC0) == 0x80) j++;
        if (j > 1299) break;
        chars++;
        end = j;
        i = j;
    }
    t.resize(end);
    return t;
}

std::optional<std::string> ovk_sigreport_print(const cJSON* item) {
    if (!item) return std::nullopt;
    try {
        JBuf b;
        write_value(b, item, 0);
        if (b.failed()) return std::nullopt;
        return b.take();
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char, 1, b->s);
        return std::nullopt;
    }
}

std::optional<std::string> ovk_signature_report(const OVK_ADVERT* a, std::string_view vendor,
                                                std::string_view device_type, bool randomized,
                                                std::string_view user_note,
                                                std::string_view app_version) {
    OVK_CHECK(a, std::nullopt);
    try {
        Json root = build(*a, vendor, device_type, randomized, user_note, app_version);
        return ovk_sigreport_print(root.get());
    } catch (const NoMemory&) {
        OVK_LOG_ALLOC_FAIL(cJSON, 1, items);
    } catch (const std::exception&) {
        OVK_LOG_ALLOC_FAIL(char*, 1, items);
    }
    return std::nullopt;
}
