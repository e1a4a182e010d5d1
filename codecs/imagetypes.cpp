#include "codecs/imagetypes.h"

#include "codecs/gif/GIFImage.h"
#include "codecs/jpeg/jpegimage.h"
#include "codecs/png/pngimage.h"
#include "codecs/webp/webpimage.h"

namespace pixkeep {

const std::vector<ImageType>& imageTypes() {
  using Label = SliderSetting::Label;
  static const std::vector<ImageType> types = {
      {"JPEG", ".jpg", SliderSetting{1, 100, 90, 5, Label::Quality}, jpegEncoderFactory(),
       {{"jpeg", "JPEG Image File"}, {"jpg", "JPEG Image File"}},
       // JPEG frames have 16-bit sizes, of which libjpeg takes 65500 at most.
       {{"image/jpeg"}, 2, decodeJpegPicture}, 65500},
      {"PNG", ".png", SliderSetting{0, 9, 9, 2, Label::Compression}, pngEncoderFactory(),
       {{"PNG", "Portable Network Graphics"}},
       {{"image/png"}, 0, decodePngPicture}, 0},
      // A GIF picture is taken only when nothing else gives it: it may have
      // lost colours. The platform's image reader reads it.
      // GIF's logical screen and images have 16-bit sizes.
      {"GIF", ".gif", std::nullopt, gifEncoderFactory(), {}, {{"image/gif"}, 3, nullptr}, 65535},
      {"Bitmap", ".bmp", std::nullopt, bmpEncoderFactory(), {},
       {{"image/bmp", "image/x-bmp", "image/x-ms-bmp"}, 1, decodeBmpPicture}, 0},
      // Lossless, the slider libwebp's lossless preset (method and effort);
      // 6, libwebp's own default, is the lowest that keeps every corpus
      // picture under two thirds of its PNG (bench/webp_bench.cpp). A WebP
      // on the clipboard ties with PNG: the owner's order decides, which
      // puts first the one it holds the picture in (the other is made from
      // it: the same pixels).
      {"WebP", ".webp", SliderSetting{TWebPImage::MinEffort, TWebPImage::MaxEffort, 6, 2, Label::Effort},
       webpEncoderFactory(), {{"webp", "WebP Image"}},
       // A WebP image has 14-bit sizes.
       {{"image/webp"}, 0, decodeWebpPicture}, TWebPImage::MaxSide},
  };
  return types;
}

}  // namespace pixkeep
