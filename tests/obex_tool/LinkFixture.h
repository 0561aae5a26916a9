// Tests that drive the real client over a pseudo-terminal: a scratch working directory (the
// port log is "./ObexCom.log") and a simulated handset on the other end of the line.
#pragma once

#include "Comport.h"
#include "HandsetSim.h"
#include "ObexEngine.h"
#include "Programlog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

class ScratchDirectory {
public:
    ScratchDirectory()
    {
        char pattern[] = "/tmp/obex-test.XXXXXX";
        path_ = mkdtemp(pattern);
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~ScratchDirectory()
    {
        std::filesystem::current_path(previous_);
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

inline std::string read_text(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class HandsetLink : public ::testing::Test {
protected:
    void start(handset_sim::Config config = {})
    {
        config.root = scratch_.path() / "handset";
        std::filesystem::create_directories(config.root);
        sim_ = std::make_unique<handset_sim::HandsetSim>(config);
        std::string error;
        ASSERT_TRUE(sim_->start(error)) << error;
        zarnik::SetComportDevice(sim_->slave_path());
        zarnik::program_log_open();
    }

    void TearDown() override
    {
        for (int id = 0; id < zarnik::kObexSessionSlots; ++id) {
            zarnik::IrObexCloseReq(id);
        }
        zarnik::ComportClose();
        zarnik::program_log_close();
        sim_.reset();
        zarnik::comport_timing() = zarnik::ComportTiming{};
    }

    // The transcript lines without the ones of the AT dialog.
    std::vector<std::string> obex_requests() const
    {
        std::vector<std::string> lines;
        for (const auto& record : sim_->transcript()) {
            if (record.kind != "at") {
                lines.push_back(record.summary);
            }
        }
        return lines;
    }

    std::vector<std::string> all_requests() const
    {
        std::vector<std::string> lines;
        for (const auto& record : sim_->transcript()) {
            lines.push_back(record.summary);
        }
        return lines;
    }

    std::filesystem::path handset_root() const { return scratch_.path() / "handset"; }
    std::string port_log() const { return read_text(scratch_.path() / "ObexCom.log"); }
    std::string program_log_text() const
    {
        zarnik::program_log_flush();
        return read_text(scratch_.path() / "Zarnik.log");
    }

    ScratchDirectory scratch_;
    std::unique_ptr<handset_sim::HandsetSim> sim_;
};
