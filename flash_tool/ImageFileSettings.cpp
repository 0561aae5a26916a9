#include "ImageFileSettings.h"

ImageFileSettings image_file_settings;
