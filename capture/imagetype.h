// One row of the image-type table: what the window shows for the type and
// how a capture of that type is written.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "capture/pictureencoder.h"

namespace pixkeep {

struct SliderSetting {
  enum class Label { Quality, Compression };  // which language template names the position
  int minimum = 0;
  int maximum = 0;
  int position = 0;     // where the slider goes when the type is chosen
  int largeChange = 1;  // the step of a click beside the thumb
  Label label = Label::Quality;
};

// A file extension the type's files go by, and its description.
struct FileFormat {
  std::string extension;
  std::string description;
};

struct ImageType {
  std::string name;                     // the item text of the type list
  std::string extension;                // ".jpg", always lower case
  std::optional<SliderSetting> slider;  // none: slider and its label are disabled
  EncoderFactory writer;                // empty: the type cannot be written yet
  std::vector<FileFormat> fileFormats;  // registered while the program runs (fileformats.h)
};

}  // namespace pixkeep
