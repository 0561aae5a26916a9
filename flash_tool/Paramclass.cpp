#include "Paramclass.h"

#include "ImageFileSettings.h"
#include "Miscunit.h"

namespace brovald {

bool parserParam(int argc, char** argv, ParamClass& params)
{
    for (int i = 1; i < argc; ++i) {
        if (i == 1) {
            if (!open_log(argv[i])) {
                return false;
            }
        } else if (i == 2) {
            image_file_settings.names = {};
            image_file_settings.names[0] = argv[i];
            print_log("Info: Flash file name : %s\n", argv[i]);
        } else {
            print_log("Info: Files name : %s index : %d\n", argv[i], i);
            params.file_list.emplace_back(argv[i]);
        }
    }
    return true;
}

}  // namespace brovald
