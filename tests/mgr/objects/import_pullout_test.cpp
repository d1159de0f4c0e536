// A PKCS #12 import through the manager library with the card pulled out at
// each of its APDUs (the virtual token's pull_after), once with the pulled
// command run by the card and once with it never run. The import is first
// run to its end on the formatted token to count its APDUs; every trial then
// starts from that same formatted token. After re-insertion the library is
// started afresh, connects and logs in again, and the token holds the
// import wholly (key pair and certificate, the certificate's bytes those of
// the file), nothing of it (no container name, no object), or one of the
// steps between: the import is three writes of the module (the container
// with the public key's part, the key pair, the certificate), each whole on
// the card, and the library cannot take back a step on a card that has
// gone. Such a step is never a stray object: the container holds the file's
// key pair or nothing, it is deleted through the library, and the import
// done again is whole. The matrix (N -> outcome) is printed.
#include "token_objects_fixture.h"

#include "mgr/store_support.h"

#include <chrono>
#include <thread>

namespace {

using namespace mgr_test;

constexpr const char* container = "pullout";
constexpr const char* password = "road-pass";
constexpr const char* subject = "Alice Store";

// The fixture folder as the program sees it: a Unix path goes through
// Wine's Z: drive.
using store_test::windows_path;

class import_pullout : public token_objects {
protected:
    void SetUp() override {
        token_objects::SetUp();
        if (HasFatalFailure()) return;
        p12_ = windows_path(fixture("road.p12"));
        std::ifstream in(windows_path(fixture("ee.der")), std::ios::binary);
        ee_der_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ASSERT_FALSE(ee_der_.empty()) << fixture("ee.der");
        close_library();
        // The formatted token every trial starts from.
        baseline_ = vt_.call("dump")["state"];
    }

    // The token as formatted, inserted and ready, its log empty.
    void restore() {
        if (vt_.call("status").value("inserted", false)) vt_.call("remove");
        vt_.call("load_state", {{"state", baseline_}});
        vt_.call("insert", {{"wait_ready", true}});
        vt_.clear_log();
    }

    // The library started on the tree's module, token 0 connected and
    // logged in; the test's own session beside it.
    void open_library() {
        ASSERT_EQ(init_pkcs11(module_file), 0);
        unsigned long slots[4];
        unsigned long n = 0;
        // The module may see the re-inserted card on its next poll.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        do {
            n = 4;
            if (token_find(slots, &n) == 0 && n == 1) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < deadline);
        ASSERT_EQ(n, 1u) << "the token is found again";
        ASSERT_EQ(token_connect(0), 0);
        int retries = -1;
        ASSERT_EQ(token_login(0, user_pin, &retries), 0);
        ASSERT_EQ(f_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s_), CKR_OK);
        CK_SESSION_INFO info{};
        ASSERT_EQ(f_->C_GetSessionInfo(s_, &info), CKR_OK);
    }

    void close_library() {
        if (s_ != 0) (void)f_->C_CloseSession(s_);
        s_ = 0;
        (void)uninit_pkcs11();
    }

    // pkcs12_file_parse and the import into the container; the library's code.
    int import() {
        int count = 0;
        const int parsed = pkcs12_file_parse(p12_.c_str(), password, &count);
        if (parsed != 0) return 100 + parsed;
        const int entry = pkcs12_entry(subject);
        if (entry < 0) return 200;
        return pkcs12_import_certificate(0, container, AT_KEYEXCHANGE, entry);
    }

    // What the token holds of the import: "whole", "absent", one of the
    // steps between ("name only": the container listed with nothing in it;
    // "key pair": the container with its key pair and no certificate), or a
    // text saying what else was found.
    std::string outcome() {
        char names[512] = {};
        unsigned long length = sizeof names;
        if (container_load_all(0, names, &length) != 0) return "container list unreadable";
        const std::string listed(names, length);
        const std::size_t objects = find({}).size();
        if (listed.empty() && objects == 0) return "absent";
        const auto pub = in_container(CKO_PUBLIC_KEY, container, AT_KEYEXCHANGE);
        const auto pri = in_container(CKO_PRIVATE_KEY, container, AT_KEYEXCHANGE);
        const auto certs = in_container(CKO_CERTIFICATE, container, AT_KEYEXCHANGE);
        const std::string found = "names [" + hex(reinterpret_cast<const unsigned char*>(listed.data()),
                                                  listed.size()) + "], " + std::to_string(objects) +
                                  " object(s), pub " + std::to_string(pub.size()) + " pri " +
                                  std::to_string(pri.size()) + " cert " + std::to_string(certs.size());
        if (listed != std::string(container, std::strlen(container) + 1)) return "stray: " + found;
        if (objects == 0) return "name only";
        if (pub.size() != 1 || pri.size() != 1 || certs.size() > 1 || objects != 2 + certs.size())
            return "stray: " + found;
        // The key pair is the file's: its size and modulus read back
        // through the library.
        int type = 0, bits = 0;
        unsigned char modulus[256] = {}, exponent[4] = {};
        if (container_get_pubkey(0, container, AT_KEYEXCHANGE, &type, &bits, modulus, exponent) != 0 ||
            bits != 2048 || (!modulus_.empty() && bytes(modulus, modulus + sizeof modulus) != modulus_))
            return "stray: public key unreadable or not the file's";
        if (container_get_prikey(0, container, AT_KEYEXCHANGE, &type, &bits) != 0 || bits != 2048)
            return "stray: private key unreadable";
        if (certs.empty()) return "key pair";
        if (attribute(certs[0], CKA_VALUE) != ee_der_) return "stray: certificate bytes differ";
        bytes der(4096);
        unsigned long der_length = static_cast<unsigned long>(der.size());
        if (container_get_cert(0, container, AT_KEYEXCHANGE, der.data(), &der_length) != 0)
            return "stray: the library cannot read the certificate";
        der.resize(der_length);
        if (der != ee_der_) return "stray: the library's certificate bytes differ";
        return "whole";
    }

    // The public key's modulus as the whole import leaves it.
    void keep_modulus() {
        int type = 0, bits = 0;
        unsigned char modulus[256] = {}, exponent[4] = {};
        ASSERT_EQ(container_get_pubkey(0, container, AT_KEYEXCHANGE, &type, &bits, modulus, exponent), 0);
        modulus_.assign(modulus, modulus + sizeof modulus);
    }

    std::string p12_;
    bytes ee_der_;
    bytes modulus_;
    nlohmann::json baseline_;
};

// The steps of an import in the order the token passes through them.
int step_of(const std::string& outcome) {
    static const char* const steps[] = {"absent", "name only", "key pair", "whole"};
    for (int i = 0; i < 4; ++i)
        if (outcome == steps[i]) return i;
    return -1;
}

TEST_F(import_pullout, AnImportCutOffAtEachApduLeavesOneOfItsStepsAndCanBeRedone) {
    // The import done to its end: its APDUs counted.
    restore();
    open_library();
    ASSERT_FALSE(HasFatalFailure());
    vt_.clear_log();
    ASSERT_EQ(import(), 0);
    const std::size_t count = vt_.log().size();
    ASSERT_GT(count, 0u);
    keep_modulus();
    ASSERT_EQ(outcome(), "whole");
    close_library();
    std::printf("pkcs12 import: %zu APDUs\n", count);

    std::vector<std::string> failures;
    const auto started = std::chrono::steady_clock::now();
    for (const bool execute : {true, false}) {
        std::string row;
        int last_step = 0;
        for (std::size_t n = 1; n <= count; ++n) {
            const std::string what = "pulled at APDU " + std::to_string(n) + "/" + std::to_string(count) +
                                     (execute ? " (run)" : " (not run)");
            restore();
            open_library();
            ASSERT_FALSE(HasFatalFailure()) << what;
            vt_.call("pull_after", {{"apdus", n}, {"execute", execute}});
            const int code = import();
            const nlohmann::json status = vt_.call("wait", {{"until", "removed"}, {"timeout", 10}});
            if (status.value("connected", true)) failures.push_back(what + ": the card was not pulled");
            close_library();
            vt_.call("insert", {{"wait_ready", true}});
            open_library();
            ASSERT_FALSE(HasFatalFailure()) << what;
            const std::string cell = outcome();
            const int step = step_of(cell);
            if (step < 0) failures.push_back(what + ": " + cell);
            // A later cut never leaves less on the card than an earlier one.
            if (step >= 0 && step < last_step) failures.push_back(what + ": " + cell + " after a later step");
            if (step > last_step) last_step = step;
            // A success only for an import that is complete on the card.
            if (code == 0 && cell != "whole") failures.push_back(what + ": success reported for " + cell);
            if (code != 0 && cell == "absent" && n == count && execute)
                failures.push_back(what + ": the last APDU run, yet nothing there");
            if (step == 1 || step == 2) {
                // What was cut off is taken away through the library, and
                // the import done again is whole.
                if (container_delete(0, container) != 0 || outcome() != "absent")
                    failures.push_back(what + ": " + cell + " cannot be deleted");
                else if (import() != 0 || outcome() != "whole")
                    failures.push_back(what + ": the import done again after " + cell + " is not whole");
            }
            row += " " + std::to_string(n) + ":" + (code == 0 ? "ok+" : "") + cell;
            close_library();
        }
        std::printf("  %-8s%s\n", execute ? "run" : "not run", row.c_str());
        std::fflush(stdout);
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
    std::printf("%zu trials in %lld s\n", 2 * count, static_cast<long long>(seconds));
    for (const auto& f : failures) ADD_FAILURE() << f;
    restore();
    open_library();
}

}  // namespace
