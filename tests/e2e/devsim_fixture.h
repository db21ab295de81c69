// A devsim process on a COM number in a temporary OFWU_COM_DIR, for tests
// that drive the program's port code against it directly.
#ifndef OFWU_TESTS_E2E_DEVSIM_FIXTURE_H
#define OFWU_TESTS_E2E_DEVSIM_FIXTURE_H

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "state/program_state.h"
#include "e2e_harness.h"
#include "e2e_process.h"
#include "platform/console.h"
#include "serial/serial_port.h"

class DevsimPort : public ::testing::Test {
protected:
    static constexpr uint32_t COM = 5;
    static constexpr uint32_t DEVICE_READS_MS = 200;  // devsim wakes within this for bytes written

    void SetUp() override {
        folder_ = std::make_unique<TempFolder>();
        ASSERT_FALSE(folder_->path.empty());
        ASSERT_EQ(setenv("OFWU_COM_DIR", folder_->path.c_str(), 1), 0);
        ASSERT_EQ(setenv("OFWU_LOCK_DIR", folder_->path.c_str(), 1), 0);
    }

    void TearDown() override {
        port_close(&port);
        if (process_.pid > 0) (void)devsim_stop(&process_);
        folder_.reset();
    }

    std::string link() const { return folder_->path + "/COM" + std::to_string(COM); }

    // Starts devsim with these options and opens the port at `baud`. Call it
    // inside ASSERT_NO_FATAL_FAILURE: a test cannot go on without its device.
    void start(const std::vector<std::string>& args, uint32_t baud) {
        std::string error;
        ASSERT_TRUE(devsim_start(link(), folder_->path, COM, args, &process_, &error)) << error;
        ASSERT_EQ(port_open(&port, COM, baud), 1)
            << "cannot open " << link() << ": " << std::strerror(errno) << "\n" << file_text(process_.log_path);
    }

    // Closes the port and stops devsim: what it reported. The port puts the
    // line's first rate back as it closes, and a pseudo-terminal gives the
    // bytes devsim has not read yet whatever rate the line has when it reads
    // them: devsim is given time to read the last ones first.
    DeviceOutcome stop() {
        sleep_ms(DEVICE_READS_MS);
        port_close(&port);
        return devsim_stop(&process_);
    }

    std::unique_ptr<TempFolder> folder_;
    DevsimProcess process_;
};

#endif
