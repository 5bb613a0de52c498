// Feeds arbitrary bytes as a package's package.jcat through the whole
// manifest path: the policy reads it from the package folder (bounded),
// libjcat's reader behind it decompresses and parses it, and the package's
// files are checked against it, once with checksums alone and once with a
// trusted signer. Nothing may crash, hang or read outside the package.
//
// An input that starts with "{" is taken as the Jcat text and gzip-compressed
// first, so that mutations reach the JSON parser rather than stopping at the
// gzip checksum. Seeds in corpus/: manifests jcat-tool wrote for the files
// below (one with checksums, one also signed; no key is kept) and the text of
// the second. The trust anchor is made with openssl when the fuzzer starts.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gio/gio.h>

#include "ExecutableDirPlatform.h"
#include "JcatManifestVerifier.h"
#include "PackageTrust.h"
#include "PlatformLayer.h"

namespace
{

// The package the manifests speak of.
const char kPackageXml[] = "<SoftwareComponent/>\n";
const char kImage[] = "image bytes\n";

std::string g_package;
std::string g_trust;
std::string g_noTrust;

void Write(const std::string& path, const void* data, size_t size)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size)) {
        std::abort();
    }
    std::fclose(file);
    chmod(path.c_str(), 0644);
}

void Check(const std::string& trustFolder)
{
    pkgtrust::SSeams seams;
    seams.makeVerifier = &MakeJcatManifestVerifier;
    seams.trustFolder = trustFolder;
    pkgtrust::SetSeams(seams);
    std::string why;
    if (!pkgtrust::Prepare(why)) {
        std::abort(); // the trust folder is the fuzzer's own
    }
    pkgtrust::Check("package.xml", kPackageXml, sizeof(kPackageXml) - 1);
    pkgtrust::Check("payload/sw1.bin", kImage, sizeof(kImage) - 1);
    pkgtrust::Check("payload/../package.xml", kPackageXml, sizeof(kPackageXml) - 1);
}

std::string Gzip(const uint8_t* data, size_t size)
{
    g_autoptr(GZlibCompressor) gzip = g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP, -1);
    std::string out(size + size / 2 + 1024, '\0');
    gsize read = 0;
    gsize written = 0;
    if (g_converter_convert(G_CONVERTER(gzip), data, size, &out[0], out.size(),
                            G_CONVERTER_INPUT_AT_END, &read, &written,
                            nullptr) != G_CONVERTER_FINISHED) {
        std::abort();
    }
    out.resize(written);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/dev/shm/fuzz_manifest_XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) {
        std::abort();
    }
    const std::string root = made;
    chmod(made, 0755);
    g_package = root + "/pkg";
    g_trust = root + "/etc/trust";
    g_noTrust = root + "/none/trust";
    const std::string script =
        "mkdir -p '" + g_package + "/payload' '" + g_trust + "' && cd '" + root +
        "' && openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj /CN=Fuzz "
        "-addext keyUsage=critical,digitalSignature -keyout key.pem -out '" +
        g_trust + "/fuzz.pem' >/dev/null 2>&1 && rm key.pem";
    if (std::system(script.c_str()) != 0) {
        std::abort();
    }
    Write(g_package + "/package.xml", kPackageXml, sizeof(kPackageXml) - 1);
    Write(g_package + "/payload/sw1.bin", kImage, sizeof(kImage) - 1);
    static ExecutableDirPlatform platform(g_package);
    CPlatformLayer::SetPlatformSeams(&platform);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0 && data[0] == '{') {
        const std::string compressed = Gzip(data, size);
        Write(g_package + "/package.jcat", compressed.data(), compressed.size());
    } else {
        Write(g_package + "/package.jcat", data, size);
    }
    Check(g_noTrust);
    Check(g_trust);
    return 0;
}
