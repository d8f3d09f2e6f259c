// SPDX-License-Identifier: Apache-2.0
// ansible-playbook runs tests/ansible/playbook.yml against a simulated board on its line
// through the built quillferry-ctl.
#include <sys/wait.h>

#include <filesystem>

#include "board.h"
#include "cable.h"
#include "expect_text.h"
#include "scratch_dir.h"

namespace {

using qftest::SimulatedBoard;

using AnsiblePlaybook = ScratchDirOver<qftest::BoardTest>;

TEST_F(AnsiblePlaybook, ChecksAppliesGathersAndRefusesBeforeSending) {
    QF_REQUIRE(missingProgram({"ansible-playbook"}));
    // The gateway of the configuration answers, on the far end of eth0's link.
    SimulatedBoard& board = boot();
    ASSERT_EQ(board.run({"nsenter", "--net=/run/netns/far", "ip", "addr", "add", "10.0.1.1/24",
                         "dev", "uplink0"}),
              0);
    const qftest::Cable cable(board);

    // Everything Ansible keeps goes into the test's folder; the module runs with this
    // machine's Python 3, where Debian's ansible-core is.
    const std::string command =
        "env ANSIBLE_HOME=" + dir_ + " ANSIBLE_LOCAL_TEMP=" + dir_ +
        "/tmp ANSIBLE_REMOTE_TEMP=" + dir_ +
        "/tmp ANSIBLE_COLLECTIONS_PATH=" QF_SOURCE_DIR
        " ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 ANSIBLE_NOCOLOR=1 "
        "ANSIBLE_RETRY_FILES_ENABLED=0 PATH=" +
        std::filesystem::path(QF_CTL_PATH).parent_path().string() +
        ":$PATH timeout 300 ansible-playbook -i localhost, -c local -e line=" + cable.device() +
        " " QF_SOURCE_DIR "/tests/ansible/playbook.yml >" + path("out") + " 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << contents("out");
    // The refused value never reached the board; the clear sent after it did.
    EXPECT_HAS(board.readFile("opt/.cmd.txt"), "clear");
    EXPECT_LACKS(board.log(), "10.0.9.8");
}

}  // namespace
