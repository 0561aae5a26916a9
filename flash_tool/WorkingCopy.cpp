#include "WorkingCopy.h"

#include "ImageGeometry.h"
#include "Miscunit.h"
#include "WorkingCopyMapping.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace brovald {

namespace {

std::string temporary_name;
std::uint8_t* base = nullptr;
bool mapping_made = false;

std::string next_temporary_name()
{
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    char name[32];
    std::snprintf(name, sizeof name, "./flashTmp_%d.tmp", std::rand() % 1000);
    return name;
}

}  // namespace

void create_working_copy()
{
    if (mapping_made) {
        return;
    }
    temporary_name = next_temporary_name();
    const MappingResult result = map_working_copy(temporary_name, working_copy_mapping_size, image_size);
    mapping_made = true;
    if (!result.file_created) {
        print_log("Create tempFile error !");
    }
    if (result.state == MappingState::name_in_use) {
        print_console_log("Error:Mapping file already created!!");
    } else if (result.state == MappingState::mapped) {
        base = result.view;
        print_console_log("Info:Create Mapping file OK!!\n");
    }
}

std::uint8_t* working_copy_base()
{
    return base;
}

void remove_working_copy()
{
    if (!mapping_made) {
        return;
    }
    unmap_working_copy(temporary_name);
    base = nullptr;
    mapping_made = false;
}

const std::string& working_copy_name()
{
    return temporary_name;
}

}  // namespace brovald
