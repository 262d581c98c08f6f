#include <cstring>

#include "platform/ppc.h"
#include "support.h"
#include "tamsa/client.h"

namespace {

using tamsa_test::LeakCheck;

std::string test_port() {
    return std::string("client-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

class LocalClient : public LeakCheck {};

TEST_F(LocalClient, StartSendStop) {
    const std::string port = test_port();
    tamsa_server *server = tamsa_server_start(port.c_str());
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(tamsa_server_start(port.c_str()), nullptr) << "one server per port name";
    tamsa_client *client = tamsa_client_local(port.c_str());
    ASSERT_NE(client, nullptr);

    uint32_t word0 = 99;
    const uint32_t args[7] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(tamsa_client_call(client, 11, args, 7, -1, &word0), TAMSA_REPLIED);
    EXPECT_EQ(word0, 0u);
    EXPECT_EQ(tamsa_client_call(client, 11, args, 8, -1, &word0), TAMSA_FAILED)
        << "at most 7 words";
    EXPECT_EQ(tamsa_client_call(client, 11, nullptr, 2, -1, &word0), TAMSA_FAILED);

    tamsa_client_close(client);
    tamsa_server_stop(server);
    EXPECT_EQ(tamsa_client_local(port.c_str()), nullptr) << "the port is gone with its server";
}

TEST_F(LocalClient, BlocksAndWordsInTheBus) {
    const std::string port = test_port();
    tamsa_server *server = tamsa_server_start(port.c_str());
    ASSERT_NE(server, nullptr);
    tamsa_client *client = tamsa_client_local(port.c_str());
    const uint32_t block = tamsa_client_alloc(client, 8, TAMSA_MEMF_CLEAR);
    ASSERT_NE(block, 0u);
    auto *bytes = static_cast<uint8_t *>(tamsa_client_pointer(client, block, 8));
    ASSERT_NE(bytes, nullptr);
    tamsa_client_store32(client, block + 4, 0x01020304u);
    EXPECT_EQ(bytes[4], 1);
    EXPECT_EQ(bytes[7], 4);
    EXPECT_EQ(tamsa_client_load32(client, block + 4), 0x01020304u);
    EXPECT_EQ(tamsa_client_pointer(client, 0, 1), nullptr);
    EXPECT_EQ(tamsa_client_pointer(client, uint32_t(tamsa_bus_size() - 4), 8), nullptr);
    tamsa_client_free(client, block);
    tamsa_client_close(client);
    tamsa_server_stop(server);
}

TEST_F(LocalClient, AStopMessageEndsTheServerAndStopStillJoins) {
    const std::string port = test_port();
    tamsa_server *server = tamsa_server_start(port.c_str());
    ASSERT_NE(server, nullptr);
    tamsa_client *client = tamsa_client_local(port.c_str());
    uint32_t word0 = 0;
    EXPECT_EQ(tamsa_client_call(client, 1, nullptr, 0, -1, &word0), TAMSA_REPLIED);
    EXPECT_EQ(word0, 123u);
    EXPECT_EQ(tamsa_client_call(client, 11, nullptr, 0, -1, &word0), TAMSA_NOT_SERVED);
    tamsa_client_close(client);
    tamsa_server_stop(server);
}

TEST_F(LocalClient, UnreachablePortsAndNullClients) {
    EXPECT_EQ(tamsa_client_local("client-nobody"), nullptr);
    EXPECT_EQ(tamsa_client_connect("client-nobody"), nullptr);
    EXPECT_EQ(tamsa_client_connect("../etc/passwd"), nullptr) << "port names are plain";
    EXPECT_EQ(tamsa_client_send(nullptr, 0, 0, -1), TAMSA_FAILED);
    EXPECT_EQ(tamsa_client_alloc(nullptr, 4, 0), 0u);
    tamsa_client_free(nullptr, 4);
    tamsa_client_close(nullptr);
    tamsa_server_stop(nullptr);
}

// The answer says it: the library prints nothing.
TEST_F(LocalClient, StartFailsWithoutTheGraphicsLibraryAndPrintsNothing) {
    tamsa_library_set_version("graphics.library", 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(tamsa_server_start(test_port().c_str()), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    tamsa_library_set_version("graphics.library", 40);
}

}  // namespace
