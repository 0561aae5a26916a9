// The driver package's Quenta.inf, as this build configured it: everything an install of the
// package needs on x86 and on x64, and the kit's version as DriverVer.
#include "inf_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

using release_check::InfFile;
using release_check::InfLine;
using release_check::InfSection;
using release_check::same_name;

namespace {

// Shape checks written out: std::regex trips GCC 12's maybe-uninitialized warning in the sanitizer
// builds.
bool digits(std::string_view text, std::size_t min_count = 1)
{
    return text.size() >= min_count &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool upper_hex(std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t at = 0;
    for (std::size_t next; (next = text.find(separator, at)) != std::string_view::npos; at = next + 1) {
        parts.push_back(text.substr(at, next - at));
    }
    parts.push_back(text.substr(at));
    return parts;
}

// mm/dd/yyyy, as DriverVer wants its date.
bool driver_date(std::string_view text)
{
    const auto parts = split(text, '/');
    if (parts.size() != 3 || parts[0].size() != 2 || parts[1].size() != 2 || parts[2].size() != 4 ||
        !digits(parts[0]) || !digits(parts[1]) || !digits(parts[2])) {
        return false;
    }
    const int month = std::stoi(std::string(parts[0]));
    const int day = std::stoi(std::string(parts[1]));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool four_part_version(std::string_view text)
{
    const auto parts = split(text, '.');
    return parts.size() == 4 && std::all_of(parts.begin(), parts.end(), [](std::string_view p) { return digits(p); });
}

// USB\VID_xxxx&PID_yyyy with four upper-case hexadecimal digits each.
bool usb_hardware_id(std::string_view text)
{
    return text.size() == 21 && text.substr(0, 8) == "USB\\VID_" && upper_hex(text.substr(8, 4)) &&
           text.substr(12, 5) == "&PID_" && upper_hex(text.substr(17, 4));
}

// Every %name% in the text.
std::vector<std::string> string_tokens(std::string_view text)
{
    std::vector<std::string> names;
    for (std::size_t open = text.find('%'); open != std::string_view::npos;) {
        const std::size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos) {
            break;
        }
        names.emplace_back(text.substr(open + 1, close - open - 1));
        open = text.find('%', close + 1);
    }
    return names;
}

std::string read_text(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class QuentaInf : public ::testing::Test {
protected:
    void SetUp() override
    {
        text = read_text(QUENTA_INF_PATH);
        ASSERT_FALSE(text.empty()) << QUENTA_INF_PATH;
        std::string error;
        ASSERT_TRUE(inf.parse(text, error)) << error;
    }

    // The install section setup uses for a models entry on one architecture: the name with the
    // architecture's decoration, else with .NT, else as it stands.
    std::string install_section(const std::string& name, const std::string& arch) const
    {
        for (const std::string& candidate : {name + ".NT" + arch, name + ".NT", name}) {
            if (inf.section(candidate) != nullptr) {
                return candidate;
            }
        }
        return {};
    }

    std::string text;
    InfFile inf;
};

TEST_F(QuentaInf, IsPlainAsciiWithWindowsLineEnds)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        ASSERT_LT(c, 0x80) << "byte " << i;
        if (c == '\n') {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << "a bare line feed at byte " << i;
        }
    }
}

TEST_F(QuentaInf, VersionSectionCarriesClassCatalogAndTheKitsVersion)
{
    EXPECT_EQ(inf.value("Version", "Signature"), "$Windows NT$");
    EXPECT_EQ(inf.value("Version", "Class"), "Ports");
    EXPECT_EQ(inf.value("Version", "ClassGuid"), "{4D36E978-E325-11CE-BFC1-08002BE10318}");
    EXPECT_EQ(inf.value("Version", "CatalogFile"), "Quenta.cat");
    ASSERT_TRUE(inf.value("Version", "Provider").has_value());
    EXPECT_NE(inf.expand(*inf.value("Version", "Provider")).find('%'), 0u);

    const InfLine* driver_ver = inf.line("Version", "DriverVer");
    ASSERT_NE(driver_ver, nullptr);
    ASSERT_EQ(driver_ver->values.size(), 2u);
    EXPECT_EQ(driver_ver->values[0], KIT_DRIVERVER_DATE);
    EXPECT_EQ(driver_ver->values[1], KIT_DRIVER_VERSION);
    EXPECT_TRUE(driver_date(driver_ver->values[0]));
    EXPECT_TRUE(four_part_version(driver_ver->values[1]));
}

TEST_F(QuentaInf, ModelsForBothArchitecturesNameTheSameDevicesAndComplete)
{
    const InfSection* manufacturer = inf.section("Manufacturer");
    ASSERT_NE(manufacturer, nullptr);
    ASSERT_EQ(manufacturer->lines.size(), 1u);
    const std::vector<std::string>& models = manufacturer->lines[0].values;
    ASSERT_GE(models.size(), 3u);
    const std::set<std::string> decorations(models.begin() + 1, models.end());
    EXPECT_EQ(decorations, (std::set<std::string>{"NTx86", "NTamd64"}));

    std::set<std::string> ids_by_arch[2];
    const std::string arches[2] = {"x86", "amd64"};
    for (int a = 0; a < 2; ++a) {
        const std::string models_name = models[0] + ".NT" + arches[a];
        const InfSection* section = inf.section(models_name);
        ASSERT_NE(section, nullptr) << models_name;
        ASSERT_FALSE(section->lines.empty()) << models_name;
        for (const InfLine& entry : section->lines) {
            ASSERT_EQ(entry.values.size(), 2u) << models_name << " line " << entry.line_number;
            EXPECT_EQ(inf.expand(entry.key).find('%'), std::string::npos) << "undefined device name";
            EXPECT_TRUE(usb_hardware_id(entry.values[1])) << entry.values[1];
            ids_by_arch[a].insert(entry.values[1]);

            const std::string install = install_section(entry.values[0], arches[a]);
            ASSERT_FALSE(install.empty()) << "no install section for " << entry.values[0];
            ASSERT_NE(inf.section(install + ".Services"), nullptr) << install;
            ASSERT_NE(inf.section(install + ".HW"), nullptr) << install;
        }
    }
    EXPECT_EQ(ids_by_arch[0], ids_by_arch[1]);
}

TEST_F(QuentaInf, CopiesTheDriverFromTheDiskIntoTheDriversFolder)
{
    const auto copy_files = inf.value("Quenta_Install.NT", "CopyFiles");
    ASSERT_TRUE(copy_files.has_value());
    const InfSection* files = inf.section(*copy_files);
    ASSERT_NE(files, nullptr);
    ASSERT_EQ(files->lines.size(), 1u);
    EXPECT_EQ(files->lines[0].values, (std::vector<std::string>{"Quenta.sys"}));

    const auto disk = inf.value("SourceDisksFiles", "Quenta.sys");
    ASSERT_TRUE(disk.has_value());
    EXPECT_NE(inf.line("SourceDisksNames", *disk), nullptr) << "disk " << *disk << " is not described";

    // 12 is the drivers folder, where the service's binary is looked for.
    const auto destination = inf.line("DestinationDirs", *copy_files) ? inf.value("DestinationDirs", *copy_files)
                                                                      : inf.value("DestinationDirs", "DefaultDestDir");
    EXPECT_EQ(destination, "12");
}

TEST_F(QuentaInf, InstallsTheKernelServiceForTheDevice)
{
    const InfLine* add_service = inf.line("Quenta_Install.NT.Services", "AddService");
    ASSERT_NE(add_service, nullptr);
    ASSERT_EQ(add_service->values.size(), 3u);
    EXPECT_EQ(add_service->values[0], "Quenta");
    // SPSVCINST_ASSOCSERVICE: the service is the device's function driver.
    EXPECT_NE(std::stoul(add_service->values[1], nullptr, 0) & 0x2u, 0u);
    const std::string service = add_service->values[2];
    EXPECT_EQ(inf.value(service, "ServiceType"), "1");
    EXPECT_EQ(inf.value(service, "StartType"), "3");
    EXPECT_TRUE(inf.value(service, "ErrorControl").has_value());
    EXPECT_EQ(inf.value(service, "ServiceBinary"), "%12%\\Quenta.sys");
    ASSERT_TRUE(inf.value(service, "DisplayName").has_value());
    EXPECT_EQ(inf.expand(*inf.value(service, "DisplayName")).find('%'), std::string::npos);
}

TEST_F(QuentaInf, HardwareKeyGetsAPortNameWithoutReplacingOne)
{
    const auto add_reg = inf.value("Quenta_Install.NT.HW", "AddReg");
    ASSERT_TRUE(add_reg.has_value());
    const InfSection* reg = inf.section(*add_reg);
    ASSERT_NE(reg, nullptr);
    bool port_name = false;
    for (const InfLine& entry : reg->lines) {
        ASSERT_GE(entry.values.size(), 5u) << "line " << entry.line_number;
        EXPECT_EQ(entry.values[0], "HKR");
        if (same_name(entry.values[2], "PortName")) {
            port_name = true;
            // FLG_ADDREG_NOCLOBBER: a name the user or the ports class installer chose stays.
            EXPECT_NE(std::stoul(entry.values[3], nullptr, 0) & 0x2u, 0u);
            EXPECT_TRUE(entry.values[4].size() > 3 && entry.values[4].substr(0, 3) == "COM" &&
                        digits(entry.values[4].substr(3)) && entry.values[4][3] != '0');
        }
    }
    EXPECT_TRUE(port_name);
}

TEST_F(QuentaInf, EveryStringItUsesIsDefined)
{
    for (const auto& section : inf.sections()) {
        if (same_name(section.name, "Strings")) {
            continue;
        }
        for (const InfLine& entry : section.lines) {
            std::string all = entry.key;
            for (const std::string& v : entry.values) {
                all += "," + v;
            }
            for (const std::string& name : string_tokens(all)) {
                if (digits(name)) {
                    continue;  // a folder id such as %12%
                }
                EXPECT_TRUE(inf.value("Strings", name).has_value())
                    << "%" << name << "% in [" << section.name << "] line " << entry.line_number;
            }
        }
    }
}

}  // namespace
