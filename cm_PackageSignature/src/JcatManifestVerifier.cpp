#include "JcatManifestVerifier.h"

#include <gio/gio.h>
#include <glib-object.h>
#include <glib.h>
// libjcat's headers declare C functions without saying so to C++; GLib's,
// included above, do and are not read again.
extern "C" {
#include <jcat.h>
}

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace
{

// What a manifest may grow to once decompressed: a dozen items with their
// signatures are some tens of KiB.
constexpr gsize kMaxManifestJson = gsize(4) << 20;
// json-glib parses nested arrays and objects by recursion without a limit,
// so a manifest deep enough uses up the stack. Nesting cannot exceed the
// number of opening brackets, strings included, and a Jcat file has four
// per item.
constexpr size_t kMaxOpeningBrackets = 4096;

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GObjectOwner = std::unique_ptr<T, GObjectUnref>;

std::string MessageOf(const GError* error)
{
    return error != nullptr && error->message != nullptr ? error->message : "unknown error";
}

// gzip as jcat-tool writes it, decompressed by GLib in steps so that a small
// file cannot unfold into more than kMaxManifestJson bytes.
bool Decompress(const std::string& compressed, std::string& json, std::string& why)
{
    g_autoptr(GBytes) bytes = g_bytes_new(compressed.data(), compressed.size());
    g_autoptr(GInputStream) raw = g_memory_input_stream_new_from_bytes(bytes);
    g_autoptr(GZlibDecompressor) gunzip = g_zlib_decompressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP);
    g_autoptr(GInputStream) in = g_converter_input_stream_new(raw, G_CONVERTER(gunzip));
    json.clear();
    char chunk[16384];
    for (;;) {
        g_autoptr(GError) error = nullptr;
        const gssize got = g_input_stream_read(in, chunk, sizeof(chunk), nullptr, &error);
        if (got < 0) {
            why = "not a gzip-compressed Jcat file (" + MessageOf(error) + ")";
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (json.size() + static_cast<gsize>(got) > kMaxManifestJson) {
            why = "more than " + std::to_string(kMaxManifestJson) + " bytes once decompressed";
            return false;
        }
        json.append(chunk, static_cast<size_t>(got));
    }
}

// An item ID names a file inside the package folder by a plain relative
// path: never absolute, never upwards, no empty or "." steps.
bool IsPackagePath(const std::string& id)
{
    if (id.empty() || id.front() == '/' || id.back() == '/') {
        return false;
    }
    size_t start = 0;
    while (start <= id.size()) {
        const size_t slash = std::min(id.find('/', start), id.size());
        const std::string step = id.substr(start, slash - start);
        if (step.empty() || step == "." || step == "..") {
            return false;
        }
        start = slash + 1;
    }
    return std::none_of(id.begin(), id.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

std::string Quoted(const std::string& id)
{
    return "\"" + id + "\"";
}

// Every ID and alias a plain package path, none twice: the program looks
// items up by its own names, and a manifest that could answer one name two
// ways is not one to go by.
bool ItemsWellNamed(JcatFile* file, std::string& why)
{
    g_autoptr(GPtrArray) items = jcat_file_get_items(file);
    std::set<std::string> seen;
    for (guint i = 0; i < items->len; ++i) {
        JcatItem* item = JCAT_ITEM(g_ptr_array_index(items, i));
        std::vector<std::string> names;
        const gchar* id = jcat_item_get_id(item);
        if (id == nullptr) {
            why = "an item has no ID";
            return false;
        }
        names.push_back(id);
        g_autoptr(GPtrArray) aliases = jcat_item_get_alias_ids(item);
        for (guint a = 0; aliases != nullptr && a < aliases->len; ++a) {
            names.push_back(static_cast<const gchar*>(g_ptr_array_index(aliases, a)));
        }
        for (const std::string& name : names) {
            if (!IsPackagePath(name)) {
                why = "item ID " + Quoted(name) + " is not a path inside the package";
                return false;
            }
            if (!seen.insert(name).second) {
                why = "item ID " + Quoted(name) + " appears twice";
                return false;
            }
        }
    }
    return true;
}

bool IsChecksum(JcatBlobKind kind)
{
    return kind == JCAT_BLOB_KIND_SHA256 || kind == JCAT_BLOB_KIND_SHA512;
}

class JcatManifestVerifier : public pkgtrust::IManifestVerifier
{
public:
    JcatManifestVerifier() : m_context(jcat_context_new()) {}

    bool AddTrustAnchor(const std::string& pem, std::string& why) override
    {
        g_autoptr(GError) error = nullptr;
        g_autoptr(JcatEngine) engine =
            jcat_context_get_engine(m_context.get(), JCAT_BLOB_KIND_PKCS7, &error);
        if (engine == nullptr) {
            why = MessageOf(error);
            return false;
        }
        g_autoptr(GBytes) bytes = g_bytes_new(pem.data(), pem.size());
        if (!jcat_engine_add_public_key_raw(engine, bytes, &error)) {
            why = MessageOf(error);
            return false;
        }
        return true;
    }

    bool ReadManifest(const std::string& manifest, std::string& why) override
    {
        m_file.reset();
        std::string json;
        if (!Decompress(manifest, json, why)) {
            return false;
        }
        if (json.find('\0') != std::string::npos) {
            why = "a NUL byte in the Jcat text";
            return false;
        }
        if (static_cast<size_t>(std::count_if(json.begin(), json.end(), [](char c) {
                return c == '[' || c == '{';
            })) > kMaxOpeningBrackets) {
            why = "more than " + std::to_string(kMaxOpeningBrackets) + " nested or listed elements";
            return false;
        }
        GObjectOwner<JcatFile> file(jcat_file_new());
        g_autoptr(GError) error = nullptr;
        if (!jcat_file_import_json(file.get(), json.c_str(), JCAT_IMPORT_FLAG_NONE, &error)) {
            why = "not a Jcat file (" + MessageOf(error) + ")";
            return false;
        }
        if (!ItemsWellNamed(file.get(), why)) {
            return false;
        }
        m_file = std::move(file);
        return true;
    }

    pkgtrust::SVerdict Verify(const std::string& id, const void* data, size_t size,
                              bool requireSignature) override
    {
        using pkgtrust::EVerdict;
        if (!m_file) {
            return {EVerdict::NotListed, "no manifest"};
        }
        g_autoptr(GError) missing = nullptr;
        g_autoptr(JcatItem) item = jcat_file_get_item_by_id(m_file.get(), id.c_str(), &missing);
        if (item == nullptr) {
            return {EVerdict::NotListed, ""};
        }
        // The caller's buffer as it is: the bytes checked are the bytes used,
        // and a 16 MiB image is not copied for it.
        g_autoptr(GBytes) bytes = g_bytes_new_static(data, size);
        g_autoptr(GPtrArray) blobs = jcat_item_get_blobs(item);
        std::vector<JcatBlob*> checksums;
        std::vector<JcatBlob*> signatures;
        for (guint i = 0; i < blobs->len; ++i) {
            JcatBlob* blob = JCAT_BLOB(g_ptr_array_index(blobs, i));
            if (IsChecksum(jcat_blob_get_kind(blob))) {
                checksums.push_back(blob);
            } else if (jcat_blob_get_kind(blob) == JCAT_BLOB_KIND_PKCS7) {
                signatures.push_back(blob);
            }
        }
        if (checksums.empty()) {
            return {EVerdict::NoChecksum, ""};
        }
        if (!requireSignature) {
            const std::string mismatch = FirstMismatch(bytes, checksums);
            return mismatch.empty() ? pkgtrust::SVerdict{EVerdict::Verified, "checksum"}
                                    : pkgtrust::SVerdict{EVerdict::ChecksumMismatch, mismatch};
        }
        if (signatures.empty()) {
            return {EVerdict::NoSignature, ""};
        }
        // A signature that verifies covers the bytes' own SHA-256 digest, so
        // the item's plain checksum adds nothing and is not computed again:
        // GLib's SHA-256, which libjcat uses for it, would cost five times
        // the signature on a 16 MiB image.
        std::string failure;
        std::string signer = FirstSigner(bytes, signatures, JCAT_VERIFY_FLAG_NONE, failure);
        if (!signer.empty()) {
            return {EVerdict::Verified, "signed by " + signer};
        }
        // No signature holds: the bytes changed, or the signer is the matter.
        const std::string mismatch = FirstMismatch(bytes, checksums);
        if (!mismatch.empty()) {
            return {EVerdict::ChecksumMismatch, mismatch};
        }
        // libjcat says the same for a stranger and for a trusted signer out
        // of its validity period; only the second passes with time checks off.
        std::string ignored;
        signer = FirstSigner(bytes, signatures, JCAT_VERIFY_FLAG_DISABLE_TIME_CHECKS, ignored);
        if (!signer.empty()) {
            return {EVerdict::SignerExpired, signer};
        }
        return {EVerdict::SignerNotTrusted, failure};
    }

private:
    // The kind of the first checksum the bytes do not match; empty when they
    // match all.
    std::string FirstMismatch(GBytes* bytes, const std::vector<JcatBlob*>& checksums)
    {
        for (JcatBlob* blob : checksums) {
            g_autoptr(GError) error = nullptr;
            g_autoptr(JcatResult) result = jcat_context_verify_blob(m_context.get(), bytes, blob,
                                                                    JCAT_VERIFY_FLAG_NONE, &error);
            if (result == nullptr) {
                return jcat_blob_kind_to_string(jcat_blob_get_kind(blob));
            }
        }
        return std::string();
    }

    // Who signed the bytes, by the first signature that verifies against the
    // trust anchors; empty when none does (`failure`: libjcat's first reason).
    std::string FirstSigner(GBytes* bytes, const std::vector<JcatBlob*>& signatures,
                            JcatVerifyFlags flags, std::string& failure)
    {
        for (JcatBlob* blob : signatures) {
            g_autoptr(GError) error = nullptr;
            g_autoptr(JcatResult) result =
                jcat_context_verify_blob(m_context.get(), bytes, blob, flags, &error);
            if (result != nullptr) {
                const gchar* signer = jcat_result_get_authority(result);
                return signer != nullptr && *signer != '\0' ? signer : "an unnamed signer";
            }
            if (failure.empty()) {
                failure = MessageOf(error);
            }
        }
        return std::string();
    }

    GObjectOwner<JcatContext> m_context;
    GObjectOwner<JcatFile> m_file;
};

} // namespace

std::unique_ptr<pkgtrust::IManifestVerifier> MakeJcatManifestVerifier()
{
    return std::unique_ptr<pkgtrust::IManifestVerifier>(new JcatManifestVerifier());
}
