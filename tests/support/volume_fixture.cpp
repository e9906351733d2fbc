// volume_fixture.cpp - volume sets for tests, written with the format
// encoders (see volume_fixture.h).
#include "support/volume_fixture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file.h"

namespace testsupport {
namespace {

int write_at(platform::File* f, uint32_t page, const uint8_t* bytes) {
  return f->write_at(bytes, Vol_PAGESIZE, Vol_PageOffset(page));
}

int write_volume(const VolumeSetSpec& spec, uint32_t id) {
  const VolumeSpec& vs = spec.volumes[id];
  VOLUME v;
  Vol_InitNewDescriptor(&v, id, vs.type, vs.size, spec.set_id, vs.ext_size, vs.max_size);
  v.num_volumes = static_cast<uint32_t>(spec.volumes.size());
  v.used_volumes = v.num_volumes;
  v.generation = spec.generation;
  Vol_ClearAllAllocAllowed(&v.used_map);
  Vol_ClearAllAllocAllowed(&v.standard_aldesc);
  for (uint32_t i = 0; i < v.num_volumes; ++i) {
    Vol_SetAllocAllowed(static_cast<int>(i), &v.used_map);
    switch (spec.volumes[i].type) {
      case VolType_LOG: Vol_SetAllocAllowed(static_cast<int>(i), &v.tlog_aldesc); break;
      case VolType_TEMP: Vol_SetAllocAllowed(static_cast<int>(i), &v.temp_aldesc); break;
      default: Vol_SetAllocAllowed(static_cast<int>(i), &v.standard_aldesc); break;
    }
  }
  snprintf(v.path, sizeof v.path, "%s", vs.path.c_str());
  Vol_BuildNewFreeList(&v);

  platform::File* f = nullptr;
  if (int err = platform::file_open(vs.path.c_str(),
                                    platform::FILE_WRITE | platform::FILE_CREATE, &f))
    return err;
  std::vector<uint8_t> page(Vol_PAGESIZE);
  int err = 0;
  for (uint32_t copy_page : {Vol_DESC_PAGE, Vol_DESC_COPY_PAGE}) {
    Vol_InitHeader(Vol_PAGE_VOLUME, Vol_PageAddr(id, copy_page), &v.header);
    if (id == 0 && spec.consistent) Vol_SetFlag(Vol_CONSISTENT, &v.header);
    Vol_EncodeDescriptorPage(v, page.data());
    if (err == 0) err = write_at(f, copy_page, page.data());
  }
  for (Vol_FLMEM* fl = v.flmem_head; fl != nullptr && err == 0; fl = fl->next)
    err = write_at(f, PAGE_NUMBER(fl->page), fl->image);
  if (err == 0 && vs.full_length && vs.size - 1 > Vol_DESC_COPY_PAGE) {
    std::memset(page.data(), 0, page.size());
    err = write_at(f, vs.size - 1, page.data());
  }
  if (err == 0) err = f->datasync();
  Vol_DeleteFreeList(&v);
  const int close_err = platform::file_close(f);
  if (err == 0) err = close_err;
  // A new file's name is on the disk only once its directory is.
  if (err == 0) err = platform::file_sync_parent(vs.path.c_str());
  return err;
}

}  // namespace

int write_volume_set(const VolumeSetSpec& spec) {
  if (spec.volumes.empty() || spec.volumes[0].type != VolType_DATA) return EINVAL;
  for (uint32_t id = 0; id < spec.volumes.size(); ++id)
    if (int err = write_volume(spec, id)) return err;
  return 0;
}

int read_page(const std::string& path, uint32_t page, std::vector<uint8_t>* out) {
  platform::File* f = nullptr;
  if (int err = platform::file_open(path.c_str(), platform::FILE_READ, &f)) return err;
  out->assign(Vol_PAGESIZE, 0);
  size_t done = 0;
  int err = f->read_at(out->data(), Vol_PAGESIZE, Vol_PageOffset(page), &done);
  if (err == 0 && done != Vol_PAGESIZE) err = EIO;
  platform::file_close(f);
  return err;
}

bool root_marked_consistent(const std::string& path) {
  std::vector<uint8_t> page;
  if (read_page(path, 0, &page) != 0) return false;
  VOLUME root;
  Vol_DecodeDescriptor(page.data(), &root);
  return Vol_TestFlag(Vol_CONSISTENT, &root.header) != 0;
}

int write_page(const std::string& path, uint32_t page, const std::vector<uint8_t>& bytes) {
  platform::File* f = nullptr;
  if (int err = platform::file_open(path.c_str(), platform::FILE_WRITE, &f)) return err;
  int err = f->write_at(bytes.data(), Vol_PAGESIZE, Vol_PageOffset(page));
  if (err == 0) err = f->datasync();
  const int close_err = platform::file_close(f);
  return err != 0 ? err : close_err;
}

int patch_descriptor(const std::string& path, int copy, const std::function<void(VOLUME&)>& edit) {
  const uint32_t at = copy == 0 ? Vol_DESC_PAGE : Vol_DESC_COPY_PAGE;
  std::vector<uint8_t> page;
  if (int err = read_page(path, at, &page)) return err;
  VOLUME v;
  Vol_DecodeDescriptor(page.data(), &v);
  edit(v);
  Vol_EncodeDescriptorPage(v, page.data());
  return write_page(path, at, page);
}

}  // namespace testsupport
