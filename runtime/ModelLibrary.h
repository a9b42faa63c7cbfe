#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tweenova {

// The model library the open step reads the network from: TweenovaModels.so
// in the plug-in's directory, unless an override is set.
std::string modelLibraryPath();
// Overrides the model library's path (tests); an empty path restores the default.
void setModelLibraryPath(std::string path);

// The serialised network as the model library hands it over. The bytes
// belong to the library and stay valid as long as this object lives.
class ModelArchive {
public:
  // Opens the library at `path` and fetches the archive through
  // qm_get_model_A. Throws std::runtime_error when the library cannot be
  // loaded, lacks the function, or returns no data.
  static ModelArchive fetch(const std::string& path);

  const unsigned char* data() const { return data_; }
  uint64_t size() const { return size_; }

private:
  ModelArchive(std::shared_ptr<void> library, const unsigned char* data, uint64_t size)
      : library_(std::move(library)), data_(data), size_(size)
  {
  }

  std::shared_ptr<void> library_;  // the dlopen handle; closed with the last copy
  const unsigned char* data_;
  uint64_t size_;
};

} // namespace tweenova
