#pragma once

// EXR files written and read through OpenEXR itself, for tests that need
// exact control of parts, channel names and types, and attributes.
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputPart.h>
#include <OpenEXR/ImfMultiPartInputFile.h>
#include <OpenEXR/ImfMultiPartOutputFile.h>
#include <OpenEXR/ImfOutputPart.h>
#include <OpenEXR/ImfPartType.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// One part to write: its header (windows, name, attributes; the channel
// list is made from `channels`) and each channel's value at (x, y, k).
struct ExrPartSpec {
  Imf::Header header;
  std::vector<std::pair<std::string, Imf::PixelType>> channels;
  std::function<float(int x, int y, int k)> value = [](int x, int y, int k) { return 0.1f * float(x + 2 * y + k); };
};

inline void writeExrParts(const std::string& path, std::vector<ExrPartSpec> parts)
{
  std::vector<Imf::Header> headers;
  for (ExrPartSpec& p : parts) {
    for (const auto& [name, type] : p.channels)
      p.header.channels().insert(name, Imf::Channel(type));
    p.header.setType(Imf::SCANLINEIMAGE);
    if (parts.size() > 1 && !p.header.hasName())
      p.header.setName("part" + std::to_string(headers.size()));
    headers.push_back(p.header);
  }
  Imf::MultiPartOutputFile file(path.c_str(), headers.data(), int(headers.size()));
  for (size_t i = 0; i < parts.size(); ++i) {
    const Imath::Box2i dw = headers[i].dataWindow();
    const int w = dw.max.x - dw.min.x + 1, h = dw.max.y - dw.min.y + 1;
    const size_t nc = parts[i].channels.size();
    std::vector<float> floats(size_t(w) * h * nc);
    std::vector<half> halves(floats.size());
    std::vector<uint32_t> whole(floats.size());
    Imf::FrameBuffer fb;
    for (size_t k = 0; k < nc; ++k) {
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const size_t at = (k * h + y) * w + x;
          floats[at] = parts[i].value(x + dw.min.x, y + dw.min.y, int(k));
          halves[at] = half(floats[at]);
          whole[at] = uint32_t(floats[at]);
        }
      const Imf::PixelType t = parts[i].channels[k].second;
      char* base = t == Imf::HALF ? reinterpret_cast<char*>(&halves[k * h * w])
                   : t == Imf::UINT ? reinterpret_cast<char*>(&whole[k * h * w])
                                    : reinterpret_cast<char*>(&floats[k * h * w]);
      const size_t size = t == Imf::HALF ? 2 : 4;
      fb.insert(parts[i].channels[k].first,
                Imf::Slice(t, base - (dw.min.x + ptrdiff_t(dw.min.y) * w) * ptrdiff_t(size), size, size * w));
    }
    Imf::OutputPart out(file, int(i));
    out.setFrameBuffer(fb);
    out.writePixels(h);
  }
}

// Every part's header of an EXR file.
inline std::vector<Imf::Header> exrHeaders(const std::string& path)
{
  Imf::MultiPartInputFile file(path.c_str());
  std::vector<Imf::Header> out;
  for (int p = 0; p < file.parts(); ++p)
    out.push_back(file.header(p));
  return out;
}

// A part's channels: name -> type.
inline std::map<std::string, Imf::PixelType> exrChannels(const Imf::Header& h)
{
  std::map<std::string, Imf::PixelType> out;
  for (auto it = h.channels().begin(); it != h.channels().end(); ++it)
    out[it.name()] = it.channel().type;
  return out;
}

// A part's values as float, channel by channel (name -> values over the
// data window, rows top-down).
inline std::map<std::string, std::vector<float>> exrValues(const std::string& path, int part)
{
  Imf::MultiPartInputFile file(path.c_str());
  Imf::InputPart in(file, part);
  const Imath::Box2i dw = in.header().dataWindow();
  const int w = dw.max.x - dw.min.x + 1, h = dw.max.y - dw.min.y + 1;
  std::map<std::string, std::vector<float>> out;
  Imf::FrameBuffer fb;
  for (auto it = in.header().channels().begin(); it != in.header().channels().end(); ++it) {
    std::vector<float>& v = out[it.name()];
    v.resize(size_t(w) * h);
    fb.insert(it.name(), Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(v.data()) -
                                                   (dw.min.x + ptrdiff_t(dw.min.y) * w) * ptrdiff_t(sizeof(float)),
                                    sizeof(float), sizeof(float) * w));
  }
  in.setFrameBuffer(fb);
  in.readPixels(dw.min.y, dw.max.y);
  return out;
}

// Every attribute of a header but those a writer sets itself, as exrheader
// would print them: name -> type name.
inline std::map<std::string, std::string> exrAttributeTypes(const Imf::Header& h)
{
  std::map<std::string, std::string> out;
  for (auto it = h.begin(); it != h.end(); ++it)
    out[it.name()] = it.attribute().typeName();
  return out;
}

} // namespace testsupport
