#include "codecs/imagetypes.h"

#include "codecs/gif/GIFImage.h"
#include "codecs/jpeg/jpegimage.h"
#include "codecs/png/pngimage.h"

namespace pixkeep {

const std::vector<ImageType>& imageTypes() {
  using Label = SliderSetting::Label;
  static const std::vector<ImageType> types = {
      {"JPEG", ".jpg", SliderSetting{1, 100, 90, 5, Label::Quality}, jpegEncoderFactory(),
       {{"jpeg", "JPEG Image File"}, {"jpg", "JPEG Image File"}}},
      {"PNG", ".png", SliderSetting{0, 9, 9, 2, Label::Compression}, pngEncoderFactory(),
       {{"PNG", "Portable Network Graphics"}}},
      {"GIF", ".gif", std::nullopt, gifEncoderFactory(), {}},
      {"Bitmap", ".bmp", std::nullopt, bmpEncoderFactory(), {}},
  };
  return types;
}

}  // namespace pixkeep
