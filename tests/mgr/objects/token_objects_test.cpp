// Containers, files and data objects, certificates and key pairs, and the
// PKCS #12, P7B and X.509 imports, through the library's exports on the
// virtual token with the tree's module DLL (under Wine). The driver
// (objects_e2e_test.py) makes the fixtures and, after the cases that keep
// the token, reads it natively with pkcs11-tool and openssl.
#include "token_objects_fixture.h"

#include <functional>

namespace {

using namespace mgr_test;

// The names as the platform's 8-bit simple display names give them: the
// end entity's common name is "Zoë Ω End Entity", in the ANSI code page
// (where the platform has no Ω it puts a stand-in: '?' or, under Wine, a
// best-fit 'O').
std::string ansi(const wchar_t* text) {
    char out[260] = {};
    WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
    return out;
}
const std::string ee_subject = ansi(L"Zo\u00eb \u03a9 End Entity");
const std::string inter_subject = "Objects Intermediate CA";
const std::string root_subject = "Objects Root CA";
const std::string short_subject = "Objects Short Coefficient";

constexpr int buffer_too_small = 0x150;
constexpr int mismatch = static_cast<int>(0x80090016);

// The certificate DER of a PEM fixture as openssl wrote it beside it.
bytes der(const std::string& name) { return read_fixture(name + ".der"); }

// ---- Containers ---------------------------------------------------------

TEST_F(token_objects, ContainersAreCreatedListedAndDeleted) {
    ASSERT_EQ(container_create_new(0, "my box"), 0);
    ASSERT_EQ(container_create_new(0, "c2"), 0);
    EXPECT_EQ(container_create_new(0, "c2"), static_cast<int>(CKR_VENDOR_CONTAINER_EXISTS));

    char names[64] = {};
    unsigned long length = sizeof names;
    ASSERT_EQ(container_load_all(0, names, &length), 0);
    EXPECT_EQ(length, 10u);  // "my box" and "c2", each with the byte after it
    EXPECT_EQ(std::string(names, length), std::string("my box\0c2\0", 10));

    // The same names as the module gives them directly.
    char direct[64] = {};
    CK_ULONG direct_length = sizeof direct;
    ASSERT_EQ(x_->M_EnumContainer(s_, reinterpret_cast<CK_CHAR_PTR>(direct), &direct_length), CKR_OK);
    EXPECT_EQ(std::string(direct, direct_length), std::string(names, length));

    unsigned long short_length = 9;
    EXPECT_EQ(container_load_all(0, names, &short_length), 3);

    ASSERT_EQ(container_delete(0, "c2"), 0);
    std::memset(names, 0, sizeof names);
    length = sizeof names;
    ASSERT_EQ(container_load_all(0, names, &length), 0);
    EXPECT_EQ(std::string(names, length), std::string("my box\0", 7));
    EXPECT_EQ(container_load_all(7, names, &length), 1);
    EXPECT_EQ(container_create_new(-1, "x"), 1);
}

// ---- Files and data objects -----------------------------------------------

TEST_F(token_objects, AFileIsCreatedWrittenAndReadBack) {
    ASSERT_EQ(token_create_file(0, "PINLimit", 8), 0);
    const std::string json = "{\"minLen\":6,\"maxLen\":16,\"upper\":1,\"lower\":1,\"digit\":1,\"special\":0}";
    ASSERT_EQ(token_write_file(0, "PINLimit", reinterpret_cast<const unsigned char*>(json.data()),
                               static_cast<int>(json.size())),
              0);
    unsigned char buffer[1024 + 16];
    std::memset(buffer, 0xCC, sizeof buffer);
    int length = 1024;
    ASSERT_EQ(token_read_file(0, "PINLimit", buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), json);

    // Zero on entry: the documented 4096 bytes.
    std::vector<unsigned char> big(4096);
    length = 0;
    ASSERT_EQ(token_read_file(0, "PINLimit", big.data(), &length), 0);
    EXPECT_EQ(length, static_cast<int>(json.size()));
}

TEST_F(token_objects, FileLimitsOfNamesAndLengths) {
    const std::string name32(32, 'n'), name33(33, 'n');
    ASSERT_EQ(token_create_file(0, name32.c_str(), 32), 0);
    EXPECT_EQ(token_create_file(0, name33.c_str(), 33), 1);
    EXPECT_EQ(token_create_file(0, "short", 33), 1);
    EXPECT_EQ(token_create_file(0, nullptr, 0), 1);
    std::vector<unsigned char> data(4097, 'a');
    EXPECT_EQ(token_write_file(0, name32.c_str(), data.data(), 4097), 2);
    EXPECT_EQ(token_write_file(0, name32.c_str(), data.data(), -1), 2);
    EXPECT_EQ(token_write_file(0, name33.c_str(), data.data(), 4), 1);
    ASSERT_EQ(token_write_file(0, name32.c_str(), data.data(), 4096), 0);
    std::vector<unsigned char> back(4096);
    int length = 4096;
    ASSERT_EQ(token_read_file(0, name32.c_str(), back.data(), &length), 0);
    EXPECT_EQ(length, 4096);
    EXPECT_EQ(back, std::vector<unsigned char>(data.begin(), data.begin() + 4096));
    EXPECT_EQ(token_read_file(0, name33.c_str(), back.data(), &length), 1);
    // A file that is not there: the module refuses the read of no object.
    length = 4096;
    EXPECT_NE(token_read_file(0, "absent", back.data(), &length), 0);
    EXPECT_EQ(token_read_file(3, name32.c_str(), back.data(), &length), 1);
}

TEST_F(token_objects, ALongerValueThanTheBufferIsRefusedAndNothingIsWritten) {
    ASSERT_EQ(token_create_file(0, "big", 3), 0);
    std::vector<unsigned char> value(2000);
    for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<unsigned char>(i * 7 + 1);
    ASSERT_EQ(token_write_file(0, "big", value.data(), 2000), 0);
    unsigned char buffer[1024 + 64];
    std::memset(buffer, 0xCC, sizeof buffer);
    int length = 1024;
    EXPECT_EQ(token_read_file(0, "big", buffer, &length), buffer_too_small);
    EXPECT_EQ(length, 2000);
    for (unsigned char b : buffer) ASSERT_EQ(b, 0xCC);
}

TEST_F(token_objects, DataObjectsAreFoundByApplicationAndLabelWithItsNul) {
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    const char app[] = "Solvanta";
    const char with_nul[] = "config";  // labelled with its NUL
    const char value[] = "{\"a\":1}";
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &data, sizeof data},
                           {CKA_TOKEN, &yes, 1},
                           {CKA_APPLICATION, const_cast<char*>(app), 8},
                           {CKA_LABEL, const_cast<char*>(with_nul), 7},
                           {CKA_VALUE, const_cast<char*>(value), 7}};
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(f_->C_CreateObject(s_, tmpl, 5, &h), CKR_OK);
    const char bare[] = "bare";  // labelled without
    CK_ATTRIBUTE tmpl2[] = {{CKA_CLASS, &data, sizeof data},
                            {CKA_TOKEN, &yes, 1},
                            {CKA_APPLICATION, const_cast<char*>(app), 8},
                            {CKA_LABEL, const_cast<char*>(bare), 4},
                            {CKA_VALUE, const_cast<char*>(value), 7}};
    ASSERT_EQ(f_->C_CreateObject(s_, tmpl2, 5, &h), CKR_OK);

    unsigned char buffer[1024];
    int length = 1024;
    ASSERT_EQ(token_get_first_dataobject_value(0, app, "config", buffer, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(length)), value);
    length = 1024;
    EXPECT_EQ(token_get_first_dataobject_value(0, "Other", "config", buffer, &length), 1);

    // A file is labelled without the NUL and has no application: a search
    // by an application does not see it.
    ASSERT_EQ(token_create_file(0, "PINLimit", 8), 0);
    CK_OBJECT_CLASS cls = CKO_DATA;
    const auto files = find({{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, const_cast<char*>("PINLimit"), 8}});
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(attribute(files[0], CKA_LABEL), bytes({'P', 'I', 'N', 'L', 'i', 'm', 'i', 't'}));
    EXPECT_TRUE(attribute(files[0], CKA_APPLICATION).empty());
    length = 1024;
    EXPECT_EQ(token_get_first_dataobject_value(0, app, "PINLimit", buffer, &length), 1);
    length = 1024;
    EXPECT_EQ(token_read_file(0, "PINLimit", buffer, &length), 0);
    EXPECT_EQ(length, 512);
    // The data-object search labels with the NUL, a file is stored without
    // it: not even the empty application meets the file, nor the NUL-less
    // "bare" data object.
    length = 1024;
    EXPECT_EQ(token_get_first_dataobject_value(0, "", "PINLimit", buffer, &length), 1);
    length = 1024;
    EXPECT_EQ(token_get_first_dataobject_value(0, app, "bare", buffer, &length), 1);
}

TEST_F(token_objects, ALongerDataObjectValueThanTheBufferGivesTwoAndTheLength) {
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    std::vector<unsigned char> value(2000, 0x5A);
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &data, sizeof data},
                           {CKA_TOKEN, &yes, 1},
                           {CKA_APPLICATION, const_cast<char*>("app"), 3},
                           {CKA_LABEL, const_cast<char*>("long"), 5},
                           {CKA_VALUE, value.data(), 2000}};
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(f_->C_CreateObject(s_, tmpl, 5, &h), CKR_OK);
    unsigned char buffer[1024 + 64];
    std::memset(buffer, 0xCC, sizeof buffer);
    int length = 0;  // the documented 1024 bytes
    EXPECT_EQ(token_get_first_dataobject_value(0, "app", "long", buffer, &length), 2);
    EXPECT_EQ(length, 2000);
    for (unsigned char b : buffer) ASSERT_EQ(b, 0xCC);
    std::vector<unsigned char> room(2000);
    length = 2000;
    ASSERT_EQ(token_get_first_dataobject_value(0, "app", "long", room.data(), &length), 0);
    EXPECT_EQ(room, value);
}

// ---- PKCS #12 --------------------------------------------------------------

TEST_F(token_objects, Pkcs12ParseWithRightWrongAndEmptyPasswords) {
    int count = -1;
    ASSERT_EQ(pkcs12_file_parse(fixture("ee.p12").c_str(), "objects-pass", &count), 0);
    // The platform under Wine drops the self-signed root of the file: the
    // entries are looked up by subject, and the root is not required.
    ASSERT_GE(count, 2);
    const int ee = pkcs12_entry(ee_subject);
    const int inter = pkcs12_entry(inter_subject);
    ASSERT_GE(ee, 0) << pkcs12_listing();
    ASSERT_GE(inter, 0);
    char subject[260], issuer[260];
    int kind = -1;
    ASSERT_EQ(pkcs12_file_get_certinfo(ee, subject, issuer, &kind), 0);
    EXPECT_STREQ(issuer, inter_subject.c_str());
    EXPECT_EQ(kind, 0);
    ASSERT_EQ(pkcs12_file_get_certinfo(inter, subject, issuer, &kind), 0);
    EXPECT_STREQ(issuer, root_subject.c_str());
    EXPECT_EQ(kind, 2);
    const int root = pkcs12_entry(root_subject);
    if (root >= 0) {
        ASSERT_EQ(pkcs12_file_get_certinfo(root, subject, issuer, &kind), 0);
        EXPECT_EQ(kind, 1);
    }
    EXPECT_EQ(pkcs12_file_get_certinfo(count, subject, issuer, &kind), 1);

    // A wrong password fails, and leaves nothing of the last file.
    EXPECT_EQ(pkcs12_file_parse(fixture("ee.p12").c_str(), "wrong", &count), 2);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(pkcs12_file_get_certinfo(0, subject, issuer, &kind), 1);
    EXPECT_EQ(pkcs12_import_certificate(0, "c1", 1, 0), 2);

    // The empty password, as "" and as a null pointer.
    ASSERT_EQ(pkcs12_file_parse(fixture("ee_empty.p12").c_str(), "", &count), 0);
    EXPECT_GE(pkcs12_entry(ee_subject), 0);
    ASSERT_EQ(pkcs12_file_parse(fixture("ee_empty.p12").c_str(), nullptr, &count), 0);
    EXPECT_GE(pkcs12_entry(ee_subject), 0);

    EXPECT_EQ(pkcs12_file_parse(fixture("absent.p12").c_str(), "", &count), 1);
    EXPECT_EQ(pkcs12_file_parse(nullptr, "", &count), 1);
}

// The key container the platform makes for a file's keys, by the provider
// information it puts on the file's certificates.
struct key_container {
    std::wstring name, provider;
    DWORD type = 0;
};

bool platform_key_container(const bytes& pfx, const wchar_t* password, key_container& out) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), const_cast<BYTE*>(pfx.data())};
    HCERTSTORE store = PFXImportCertStore(&blob, password, CRYPT_EXPORTABLE);
    if (store == nullptr) return false;
    bool found = false;
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c)) {
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) continue;
        std::vector<BYTE> info(size);
        if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &size)) continue;
        const auto* k = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(info.data());
        out.name = k->pwszContainerName ? k->pwszContainerName : L"";
        out.provider = k->pwszProvName ? k->pwszProvName : L"";
        out.type = k->dwProvType;
        found = true;
        CertFreeCertificateContext(c);
        break;
    }
    CertCloseStore(store, 0);
    return found;
}

bool key_container_exists(const key_container& k) {
    HCRYPTPROV h = 0;
    if (!CryptAcquireContextW(&h, k.name.c_str(), k.provider.empty() ? nullptr : k.provider.c_str(), k.type, 0))
        return false;
    CryptReleaseContext(h, 0);
    return true;
}

TEST_F(token_objects, Pkcs12ParseDeletesTheKeyContainerThePlatformMadeForTheFile) {
    key_container k;
    ASSERT_TRUE(platform_key_container(read_fixture("ee.p12"), L"objects-pass", k));
    ASSERT_TRUE(key_container_exists(k));
    int count = 0;
    ASSERT_EQ(pkcs12_file_parse(fixture("ee.p12").c_str(), "objects-pass", &count), 0);
    EXPECT_GE(pkcs12_entry(ee_subject), 0);
    EXPECT_FALSE(key_container_exists(k));
}

// Imports the end entity into "c1" (key spec 1) and its intermediate outside
// containers; the short-coefficient key into "c2". The driver then signs
// with both keys natively.
TEST_F(token_objects, Pkcs12ImportOntoTheToken) {
    int count = 0;
    ASSERT_EQ(pkcs12_file_parse(fixture("ee.p12").c_str(), "objects-pass", &count), 0);
    const int ee = pkcs12_entry(ee_subject);
    const int inter = pkcs12_entry(inter_subject);
    ASSERT_GE(ee, 0) << pkcs12_listing();
    ASSERT_GE(inter, 0);
    EXPECT_EQ(pkcs12_import_certificate(0, "c1", 1, count), 2);
    EXPECT_EQ(pkcs12_import_certificate(7, "c1", 1, ee), 1);
    ASSERT_EQ(pkcs12_import_certificate(0, "c1", 1, ee), 0);
    const int before = standalone_count();
    // A CA goes outside containers whatever container is named.
    ASSERT_EQ(pkcs12_import_certificate(0, "c1", 1, inter), 0);
    EXPECT_EQ(standalone_count(), before + 1);

    // The key pair's id and the certificate in the container.
    const auto pub = in_container(CKO_PUBLIC_KEY, "c1", 1);
    ASSERT_EQ(pub.size(), 1u);
    EXPECT_EQ(attribute(pub[0], CKA_ID), bytes({'c', '1'}));
    const auto certs = in_container(CKO_CERTIFICATE, "c1", 1);
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(attribute(certs[0], CKA_VALUE), der("ee"));
    EXPECT_EQ(attribute(certs[0], CKA_LABEL), bytes({'c', '1', 0}));
    // The serial with its leading zero byte, as a DER INTEGER.
    EXPECT_EQ(hex(attribute(certs[0], CKA_SERIAL_NUMBER)), "020900a1b2c3d4e5f60718");

    ASSERT_EQ(pkcs12_file_parse(fixture("short.p12").c_str(), "objects-pass", &count), 0);
    const int shorter = pkcs12_entry(short_subject);
    ASSERT_GE(shorter, 0);
    ASSERT_EQ(pkcs12_import_certificate(0, "c2", 1, shorter), 0);
    EXPECT_EQ(in_container(CKO_PRIVATE_KEY, "c2", 1).size(), 1u);
}

TEST_F(token_objects, ASignatureKeyPairTakesTheContainerNameWithS) {
    int count = 0;
    ASSERT_EQ(pkcs12_file_parse(fixture("ee.p12").c_str(), "objects-pass", &count), 0);
    ASSERT_EQ(pkcs12_import_certificate(0, "c1", 2, pkcs12_entry(ee_subject)), 0);
    const auto pub = in_container(CKO_PUBLIC_KEY, "c1", 2);
    ASSERT_EQ(pub.size(), 1u);
    EXPECT_EQ(attribute(pub[0], CKA_ID), bytes({'c', '1', 'S'}));
    EXPECT_EQ(in_container(CKO_CERTIFICATE, "c1", 2).size(), 1u);
    EXPECT_TRUE(in_container(CKO_PUBLIC_KEY, "c1", 1).empty());
    // Key spec 0 takes the key spec of the key's algorithm: the platform exports
    // the file's key as an exchange key.
    ASSERT_EQ(pkcs12_import_certificate(0, "c3", 0, pkcs12_entry(ee_subject)), 0);
    const auto exchange = in_container(CKO_PUBLIC_KEY, "c3", 1);
    ASSERT_EQ(exchange.size(), 1u);
    EXPECT_EQ(attribute(exchange[0], CKA_ID), bytes({'c', '3'}));
    EXPECT_EQ(in_container(CKO_CERTIFICATE, "c3", 1).size(), 1u);
}

TEST_F(token_objects, AKeyPairWhosePrivateKeyCannotBeMadeLeavesNoPublicKey) {
    int count = 0;
    ASSERT_EQ(pkcs12_file_parse(fixture("ee.p12").c_str(), "objects-pass", &count), 0);
    // Logged out, the public key can be made but the private key cannot.
    ASSERT_EQ(token_logout(0), 0);
    EXPECT_EQ(pkcs12_import_certificate(0, "c5", 1, pkcs12_entry(ee_subject)), 3);
    EXPECT_TRUE(in_container(CKO_PUBLIC_KEY, "c5", 1).empty());
    EXPECT_TRUE(in_container(CKO_CERTIFICATE, "c5", 1).empty());
}

// ---- Container certificates and keys ----------------------------------------

class container_with_key : public token_objects {
protected:
    void SetUp() override {
        token_objects::SetUp();
        if (HasFatalFailure()) return;
        int count = 0;
        ASSERT_EQ(pkcs12_file_parse(fixture("ee.p12").c_str(), "objects-pass", &count), 0);
        ASSERT_EQ(pkcs12_import_certificate(0, "c1", 1, pkcs12_entry(ee_subject)), 0);
    }
};

TEST_F(container_with_key, CertificateReadsFollowTheSizeQuery) {
    const bytes ee = der("ee");
    unsigned long length = 0;
    ASSERT_EQ(container_get_cert(0, "c1", 1, nullptr, &length), 0);
    EXPECT_EQ(length, ee.size());
    std::vector<unsigned char> buffer(ee.size());
    length = static_cast<unsigned long>(ee.size() - 1);
    EXPECT_EQ(container_get_cert(0, "c1", 1, buffer.data(), &length), 3);
    EXPECT_EQ(length, ee.size());
    length = static_cast<unsigned long>(ee.size());
    ASSERT_EQ(container_get_cert(0, "c1", 1, buffer.data(), &length), 0);
    EXPECT_EQ(buffer, ee);
    EXPECT_EQ(container_get_cert(0, "c1", 2, nullptr, &length), 1);
    EXPECT_EQ(container_get_cert(0, "none", 1, nullptr, &length), 1);
}

// Every reader that fills a caller's buffer answers a null buffer with the
// length it needs, whatever *length says, and writes nothing.
TEST_F(container_with_key, EveryReaderAnswersANullBufferWithTheNeededLength) {
    const bytes ee = der("ee");
    const bytes root = der("root");
    ASSERT_EQ(x509_import_certificate_data(0, root.data(), static_cast<unsigned long>(root.size())), 0);
    unsigned long handles[64];
    int found = 0;
    ASSERT_EQ(token_find_standalone_certs(0, handles, &found), 0);
    ASSERT_EQ(found, 1);
    const unsigned long standalone = handles[0];

    std::vector<unsigned char> file(700);
    for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<unsigned char>(i * 3 + 1);
    ASSERT_EQ(token_create_file(0, "sized", 5), 0);
    ASSERT_EQ(token_write_file(0, "sized", file.data(), static_cast<int>(file.size())), 0);

    // Longer than the data-object reader's documented 1024 bytes.
    std::vector<unsigned char> value(1500, 0x3C);
    CK_OBJECT_CLASS data = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &data, sizeof data},
                           {CKA_TOKEN, &yes, 1},
                           {CKA_APPLICATION, const_cast<char*>("app"), 3},
                           {CKA_LABEL, const_cast<char*>("sized"), 6},
                           {CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())}};
    CK_OBJECT_HANDLE h = 0;
    ASSERT_EQ(f_->C_CreateObject(s_, tmpl, 5, &h), CKR_OK);

    struct row {
        const char* name;
        std::size_t needed;
        std::function<int(long given, long* out)> call;
    };
    const row rows[] = {
        {"container_get_cert", ee.size(),
         [](long given, long* out) {
             unsigned long n = static_cast<unsigned long>(given);
             const int r = container_get_cert(0, "c1", 1, nullptr, &n);
             *out = static_cast<long>(n);
             return r;
         }},
        {"token_get_cert", root.size(),
         [standalone](long given, long* out) {
             unsigned long n = static_cast<unsigned long>(given);
             const int r = token_get_cert(0, standalone, nullptr, &n);
             *out = static_cast<long>(n);
             return r;
         }},
        {"token_read_file", file.size(),
         [](long given, long* out) {
             int n = static_cast<int>(given);
             const int r = token_read_file(0, "sized", nullptr, &n);
             *out = n;
             return r;
         }},
        {"token_get_first_dataobject_value", value.size(),
         [](long given, long* out) {
             int n = static_cast<int>(given);
             const int r = token_get_first_dataobject_value(0, "app", "sized", nullptr, &n);
             *out = n;
             return r;
         }},
    };
    for (const row& r : rows)
        for (long given : {0L, 1L, 4096L, 100000L}) {
            long out = -7;
            EXPECT_EQ(r.call(given, &out), 0) << r.name << " given " << given;
            EXPECT_EQ(out, static_cast<long>(r.needed)) << r.name << " given " << given;
        }
    // The signed readers take a negative length as "the documented size".
    int n = -1;
    EXPECT_EQ(token_read_file(0, "sized", nullptr, &n), 0);
    EXPECT_EQ(n, static_cast<int>(file.size()));
    n = -1;
    EXPECT_EQ(token_get_first_dataobject_value(0, "app", "sized", nullptr, &n), 0);
    EXPECT_EQ(n, static_cast<int>(value.size()));
    // Still a failure when there is nothing to measure.
    n = 0;
    EXPECT_NE(token_read_file(0, "absent", nullptr, &n), 0);
    EXPECT_EQ(token_get_first_dataobject_value(0, "app", "absent", nullptr, &n), 1);
    EXPECT_EQ(token_read_file(0, "sized", nullptr, nullptr), 1);
    EXPECT_EQ(token_get_first_dataobject_value(0, "app", "sized", nullptr, nullptr), 1);
}

TEST_F(container_with_key, PublicAndPrivateKeyFacts) {
    int type = -1, bits = 0;
    unsigned char modulus[256] = {};
    unsigned char exponent[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(container_get_pubkey(0, "c1", 1, &type, &bits, modulus, exponent), 0);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(bits, 2048);
    // The modulus openssl reads from the certificate.
    EXPECT_EQ(hex(modulus, 256), read_text("ee.modulus"));
    EXPECT_EQ(hex(exponent, 4), "01000100");
    type = -1;
    bits = 0;
    ASSERT_EQ(container_get_prikey(0, "c1", 1, &type, &bits), 0);
    EXPECT_EQ(type, 0);
    EXPECT_EQ(bits, 2048);
    EXPECT_EQ(container_get_pubkey(0, "c1", 2, &type, &bits, modulus, exponent), 1);
    EXPECT_EQ(container_get_prikey(0, "c1", 2, &type, &bits), 1);
}

TEST_F(token_objects, AnEcKeyReportsTypeThreeAnd256Bits) {
    CK_MECHANISM mech{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG spec = 1;
    char name[] = "ec1";
    CK_ATTRIBUTE pub[] = {{CKA_EC_PARAMS, p256, sizeof p256},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_VENDOR_CONTAINER_NAME, name, 3},
                          {CKA_VENDOR_KEY_SPEC, &spec, sizeof spec}};
    CK_ATTRIBUTE pri[] = {{CKA_TOKEN, &yes, 1},
                          {CKA_PRIVATE, &yes, 1},
                          {CKA_SIGN, &yes, 1},
                          {CKA_VENDOR_CONTAINER_NAME, name, 3},
                          {CKA_VENDOR_KEY_SPEC, &spec, sizeof spec}};
    CK_OBJECT_HANDLE hp = 0, hq = 0;
    ASSERT_EQ(f_->C_GenerateKeyPair(s_, &mech, pub, 4, pri, 5, &hp, &hq), CKR_OK);
    int type = -1, bits = 0;
    unsigned char modulus[256], exponent[4];
    ASSERT_EQ(container_get_pubkey(0, "ec1", 1, &type, &bits, modulus, exponent), 0);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(bits, 256);
    type = -1;
    bits = 0;
    ASSERT_EQ(container_get_prikey(0, "ec1", 1, &type, &bits), 0);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(bits, 256);
}

TEST_F(container_with_key, DeletingTheCertificateTakesTheKeyPairOfThatSpec) {
    ASSERT_EQ(container_delete_cert(0, "c1", 1), 0);
    unsigned long length = 0;
    EXPECT_EQ(container_get_cert(0, "c1", 1, nullptr, &length), 1);
    EXPECT_TRUE(in_container(CKO_PUBLIC_KEY, "c1", 1).empty());
    EXPECT_TRUE(in_container(CKO_PRIVATE_KEY, "c1", 1).empty());
    EXPECT_TRUE(in_container(CKO_CERTIFICATE, "c1", 1).empty());
}

TEST_F(container_with_key, DeletingWithAnObjectThatCannotGoEnds) {
    // Logged out, the private key stays: the delete ends all the same.
    ASSERT_EQ(token_logout(0), 0);
    ASSERT_EQ(container_delete_cert(0, "c1", 1), 0);
    int retries = -1;
    ASSERT_EQ(token_login(0, user_pin, &retries), 0);
    ASSERT_EQ(container_delete_cert(0, "c1", 1), 0);
    EXPECT_TRUE(in_container(CKO_PRIVATE_KEY, "c1", 1).empty());
    unsigned long length = 0;
    EXPECT_EQ(container_get_cert(0, "c1", 1, nullptr, &length), 1);
}

TEST_F(container_with_key, ContainerOfACertificateAndTheLookupsLimits) {
    const bytes ee = der("ee");
    char name[64];
    std::memset(name, 'x', sizeof name);
    unsigned long spec = 0;
    ASSERT_EQ(x509_get_certificate_container(0, ee.data(), static_cast<unsigned long>(ee.size()), name, &spec), 0);
    EXPECT_STREQ(name, "c1");
    EXPECT_EQ(spec, 1u);
    const bytes other = der("other");
    EXPECT_EQ(x509_get_certificate_container(0, other.data(), static_cast<unsigned long>(other.size()), name, &spec),
              6);
    const unsigned char junk[] = {1, 2, 3};
    EXPECT_EQ(x509_get_certificate_container(0, junk, 3, name, &spec), 3);
}

// ---- X.509 ------------------------------------------------------------------------

TEST_F(container_with_key, AContainerCertificateMustCarryTheContainersKey) {
    // The key pair stays; its certificate goes.
    const auto cert = in_container(CKO_CERTIFICATE, "c1", 1);
    ASSERT_EQ(cert.size(), 1u);
    ASSERT_EQ(f_->C_DestroyObject(s_, cert[0]), CKR_OK);
    ASSERT_EQ(in_container(CKO_PUBLIC_KEY, "c1", 1).size(), 1u);

    EXPECT_EQ(x509_import_container_certificate(0, "c1", 1, fixture("other.pem").c_str()), 5);
    EXPECT_TRUE(in_container(CKO_CERTIFICATE, "c1", 1).empty());
    const bytes other = der("other");
    EXPECT_EQ(x509_import_container_certificate_data(0, "c1", 1, other.data(), static_cast<unsigned long>(other.size())),
              6);
    EXPECT_TRUE(in_container(CKO_CERTIFICATE, "c1", 1).empty());

    ASSERT_EQ(x509_import_container_certificate(0, "c1", 1, fixture("ee.pem").c_str()), 0);
    EXPECT_EQ(in_container(CKO_CERTIFICATE, "c1", 1).size(), 1u);
    // A second import replaces the first.
    const bytes ee = der("ee");
    ASSERT_EQ(x509_import_container_certificate_data(0, "c1", 1, ee.data(), static_cast<unsigned long>(ee.size())), 0);
    const auto after = in_container(CKO_CERTIFICATE, "c1", 1);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(attribute(after[0], CKA_VALUE), ee);
    EXPECT_EQ(x509_import_container_certificate(0, "c1", 1, fixture("absent.pem").c_str()), 2);
    EXPECT_EQ(x509_import_container_certificate(0, "c1", 2, fixture("ee.pem").c_str()), 5);
}

TEST_F(container_with_key, AReplacementThatCannotBeWrittenPutsTheOldCertificateBack) {
    // The card refuses the next creation of the container's certificate
    // file: the new certificate is not stored, the old one is made again.
    vt_.call("fail_next", {{"ins", "42"}, {"sw", "6a84"}, {"count", 1}, {"name", "kxc00"}});
    EXPECT_EQ(x509_import_container_certificate(0, "c1", 1, fixture("ee2.pem").c_str()), 5);
    const auto certs = in_container(CKO_CERTIFICATE, "c1", 1);
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(attribute(certs[0], CKA_VALUE), der("ee"));
    // And so the card holds it.
    ASSERT_EQ(token_reload_all_objects(0), 0);
    std::vector<unsigned char> value(4096);
    unsigned long length = static_cast<unsigned long>(value.size());
    ASSERT_EQ(container_get_cert(0, "c1", 1, value.data(), &length), 0);
    value.resize(length);
    EXPECT_EQ(value, der("ee"));
    // Without the fault the replacement goes through.
    ASSERT_EQ(x509_import_container_certificate(0, "c1", 1, fixture("ee2.pem").c_str()), 0);
    length = 4096;
    value.resize(4096);
    ASSERT_EQ(container_get_cert(0, "c1", 1, value.data(), &length), 0);
    value.resize(length);
    EXPECT_EQ(value, der("ee2"));
}

TEST_F(token_objects, StandaloneCertificatesFromFilesAndMemoryDerAndPem) {
    EXPECT_EQ(standalone_count(), 0);
    ASSERT_EQ(x509_import_certificate(0, fixture("root.der").c_str()), 0);
    ASSERT_EQ(x509_import_certificate(0, fixture("inter.pem").c_str()), 0);
    const bytes root = der("root");
    const bytes inter_pem = read_fixture("inter.pem");
    ASSERT_EQ(x509_import_certificate_data(0, root.data(), static_cast<unsigned long>(root.size())), 0);
    ASSERT_EQ(x509_import_certificate_data(0, inter_pem.data(), static_cast<unsigned long>(inter_pem.size())), 0);
    EXPECT_EQ(standalone_count(), 4);

    unsigned long handles[64];
    int count = 0;
    ASSERT_EQ(token_find_standalone_certs(0, handles, &count), 0);
    ASSERT_EQ(count, 4);
    int roots = 0, inters = 0;
    const bytes inter = der("inter");
    for (int i = 0; i < count; ++i) {
        unsigned long length = 0;
        ASSERT_EQ(token_get_cert(0, handles[i], nullptr, &length), 0);
        std::vector<unsigned char> value(length);
        ASSERT_EQ(token_get_cert(0, handles[i], value.data(), &length), 0);
        roots += value == root;
        inters += value == inter;
    }
    EXPECT_EQ(roots, 2);
    EXPECT_EQ(inters, 2);
    ASSERT_EQ(token_delete_cert(0, handles[0]), 0);
    EXPECT_EQ(standalone_count(), 3);
    unsigned long length = 0;
    EXPECT_EQ(token_get_cert(0, handles[0], nullptr, &length), 1);

    // Several PEM certificates in one file: the padding in the middle makes
    // it no base64.
    EXPECT_EQ(x509_import_certificate(0, fixture("two.pem").c_str()), 2);
    EXPECT_EQ(x509_import_certificate(0, fixture("absent.pem").c_str()), 2);
    EXPECT_EQ(x509_import_certificate(0, fixture("chain_pkcs7.p7b").c_str()), 3);
    const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(x509_import_certificate_data(0, junk, sizeof junk), 3);
    EXPECT_EQ(x509_import_certificate_data(0, nullptr, 0), 3);
    EXPECT_EQ(x509_import_certificate(9, fixture("root.der").c_str()), 1);
}

TEST_F(token_objects, PublicKeyOfACertificateFile) {
    unsigned char modulus[512];
    unsigned long length = 128;
    EXPECT_EQ(x509_get_PublicKey(fixture("ee.pem").c_str(), modulus, &length), 6);
    length = sizeof modulus;
    ASSERT_EQ(x509_get_PublicKey(fixture("ee.pem").c_str(), modulus, &length), 0);
    ASSERT_EQ(length, 256u);
    EXPECT_EQ(hex(modulus, 256), read_text("ee.modulus"));
    length = sizeof modulus;
    ASSERT_EQ(x509_get_PublicKey(fixture("ee.der").c_str(), modulus, &length), 0);
    EXPECT_EQ(hex(modulus, length), read_text("ee.modulus"));
    EXPECT_EQ(x509_get_PublicKey(fixture("ee.pem").c_str(), nullptr, &length), 1);
    EXPECT_EQ(x509_get_PublicKey(nullptr, modulus, &length), 1);
    EXPECT_EQ(x509_get_PublicKey(fixture("absent.pem").c_str(), modulus, &length), 2);
    EXPECT_EQ(x509_get_PublicKey(fixture("ee.p12").c_str(), modulus, &length), 3);
    // An EC certificate has no RSA public key.
    length = sizeof modulus;
    EXPECT_EQ(x509_get_PublicKey(fixture("ec.pem").c_str(), modulus, &length), 5);
}

// ---- P7B ----------------------------------------------------------------------

TEST_F(token_objects, P7bChainInDerAndPemFormsGivesTheSameEntries) {
    int count = -1;
    ASSERT_EQ(p7b_file_parse(fixture("chain.p7b").c_str(), &count), 0);
    ASSERT_EQ(count, 3);
    std::vector<std::string> der_entries;
    for (int i = 0; i < count; ++i) {
        char subject[260], issuer[260];
        int kind = -1;
        ASSERT_EQ(p7b_file_get_certinfo(i, subject, issuer, &kind), 0);
        der_entries.push_back(std::string(subject) + "|" + issuer + "|" + std::to_string(kind));
    }
    char subject[260], issuer[260];
    int kind = -1;
    EXPECT_EQ(p7b_file_get_certinfo(count, subject, issuer, &kind), 1);
    EXPECT_EQ(p7b_file_get_certinfo(-1, subject, issuer, &kind), 1);
    std::sort(der_entries.begin(), der_entries.end());
    const std::vector<std::string> expected = {ee_subject + "|" + inter_subject + "|0",
                                               inter_subject + "|" + root_subject + "|2",
                                               root_subject + "|" + root_subject + "|1"};
    std::vector<std::string> sorted_expected = expected;
    std::sort(sorted_expected.begin(), sorted_expected.end());
    EXPECT_EQ(der_entries, sorted_expected);

    ASSERT_EQ(p7b_file_parse(fixture("chain_cert_markers.p7b").c_str(), &count), 0);
    ASSERT_EQ(count, 3);
    std::vector<std::string> pem_entries;
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(p7b_file_get_certinfo(i, subject, issuer, &kind), 0);
        pem_entries.push_back(std::string(subject) + "|" + issuer + "|" + std::to_string(kind));
    }
    std::sort(pem_entries.begin(), pem_entries.end());
    EXPECT_EQ(pem_entries, der_entries);

    // PKCS7 markers are not recognised: the text is no PKCS #7 message.
    EXPECT_EQ(p7b_file_parse(fixture("chain_pkcs7.p7b").c_str(), &count), 3);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(p7b_file_get_certinfo(0, subject, issuer, &kind), 1);
    EXPECT_EQ(p7b_file_parse(fixture("absent.p7b").c_str(), &count), 2);
    EXPECT_EQ(p7b_file_parse(fixture("two.pem").c_str(), &count), 2);
}

TEST_F(token_objects, P7bOfNineCertificatesKeepsEight) {
    int count = -1;
    ASSERT_EQ(p7b_file_parse(fixture("nine.p7b").c_str(), &count), 0);
    EXPECT_EQ(count, 8);
    char subject[260], issuer[260];
    int kind = -1;
    EXPECT_EQ(p7b_file_get_certinfo(7, subject, issuer, &kind), 0);
    EXPECT_EQ(p7b_file_get_certinfo(8, subject, issuer, &kind), 1);
}

// Stores the chain outside containers; the driver lists it natively.
TEST_F(token_objects, P7bImportOntoTheToken) {
    int count = -1;
    ASSERT_EQ(p7b_file_parse(fixture("chain.p7b").c_str(), &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_EQ(p7b_import_certificate(0, count), 2);
    EXPECT_EQ(p7b_import_certificate(5, 0), 1);
    for (int i = 0; i < count; ++i) ASSERT_EQ(p7b_import_certificate(0, i), 0) << i;
    EXPECT_EQ(standalone_count(), 3);
}

}  // namespace
