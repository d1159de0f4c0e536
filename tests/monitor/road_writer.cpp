// Writes the tray monitor's road onto the virtual token through the manager
// library and leaves it there (SOLVANTA_MGR_KEEP_TOKEN=1): the end entity of
// road.p12 with its RSA key pair in container "road-cont" (key exchange),
// and the root CA certificate standalone. SOLVANTA_ROAD_CONTAINERS=<n> puts
// the end entity into n containers (road-cont, road-cont-1, ...) for the
// monitor's benchmark.
#include "objects/token_objects_fixture.h"

namespace {

using mgr_test::token_objects;

TEST_F(token_objects, RoadOntoTheToken) {
    int count = 0;
    ASSERT_EQ(pkcs12_file_parse(mgr_test::fixture("road.p12").c_str(), "road-pass", &count), 0);
    const int entry = pkcs12_entry("Alice Store");
    ASSERT_GE(entry, 0) << pkcs12_listing();
    ASSERT_EQ(pkcs12_import_certificate(0, "road-cont", AT_KEYEXCHANGE, entry), 0);
    const char* more = std::getenv("SOLVANTA_ROAD_CONTAINERS");
    const int containers = more != nullptr ? std::atoi(more) : 1;
    for (int i = 1; i < containers && i < 16; ++i)
        ASSERT_EQ(pkcs12_import_certificate(0, ("road-cont-" + std::to_string(i)).c_str(), AT_KEYEXCHANGE, entry), 0)
            << i;
    ASSERT_EQ(x509_import_certificate(0, mgr_test::fixture("root.der").c_str()), 0);
    unsigned long handles[8];
    int n = 8;
    ASSERT_EQ(token_find_standalone_certs(0, handles, &n), 0);
    EXPECT_EQ(n, 1);
}

}  // namespace
