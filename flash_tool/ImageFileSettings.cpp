#include "ImageFileSettings.h"

namespace brovald {

ImageFileSettings image_file_settings;

}  // namespace brovald
