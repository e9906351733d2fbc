// volume_create.cpp - creation, extension, removal and log reset of volume
// files for the volume utilities (see volume_create.h).
//
// Context: a utility's only thread; file transfers block it.
#include "tools/volume_create.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/debug_log.h"
#include "base/error_status.h"
#include "base/panic.h"
#include "platform/file.h"
#include "storage/buffer_cache.h"
#include "storage/page_io.h"
#include "storage/pool.h"
#include "storage/tio.h"
#include "storage/volume_set.h"

namespace {

#define VOL_ERROR(code) SET_ERROR(ERR_MOD_VOL, ERR_SEV_E, (code))

// Pages written per transfer while a new file is filled.
constexpr uint32_t kFillRun = 32;

struct NewVolume {
  const char* path;       // where the file is made
  const char* name;       // the path its descriptor carries (the final one)
  uint32_t type;
  uint32_t volume_id;
  uint32_t size;
  uint32_t ext_size;
  uint32_t max_size;
  uint32_t set_id = 0;
  uint32_t generation = 0;
  uint16_t flags = 0;  // sync flags carried over
};

bool range_ok(uint32_t size, uint32_t ext_size, uint32_t max_size) {
  if (size < Vol_MINPAGES || size > Vol_MAXPAGES) {
    debug_log('V', 0, "Vol_CreateSingle() failed: size (%u) is out of range", size);
  } else if (ext_size == 1 || ext_size > Vol_MAXPAGES) {
    debug_log('V', 0, "Vol_CreateSingle() failed: ext_size (%u) is out of range", ext_size);
  } else if (max_size != 0 && max_size < size) {
    debug_log('V', 0, "Vol_CreateSingle() failed: max_size (%u) is out of range", max_size);
  } else {
    return true;
  }
  VOL_ERROR(VOL_E_RANGE);
  return false;
}

// Writes every page of the file from first up to size - 1 (page 319 apart)
// as zeros. 0 or an errno value.
int fill_pages(platform::File* f, uint32_t first, uint32_t size) {
  static const std::vector<uint8_t> zeros(kFillRun * Vol_PAGESIZE, 0);
  for (uint32_t p = first; p < size;) {
    if (p == Vol_DESC_COPY_PAGE) {
      ++p;
      continue;
    }
    uint32_t n = size - p < kFillRun ? size - p : kFillRun;
    if (p < Vol_DESC_COPY_PAGE && p + n > Vol_DESC_COPY_PAGE) n = Vol_DESC_COPY_PAGE - p;
    if (int err = f->write_at(zeros.data(), n * Vol_PAGESIZE, Vol_PageOffset(p))) return err;
    p += n;
  }
  return 0;
}

int write_page(platform::File* f, uint32_t page, const uint8_t* bytes) {
  return f->write_at(bytes, Vol_PAGESIZE, Vol_PageOffset(page));
}

// Gives up a file being made: closed, removed, its directory synced.
void discard(platform::File* f, const char* path) {
  platform::file_close(f);
  platform::file_remove(path);
  platform::file_sync_parent(path);
}

// Makes the file of nv: written whole, flushed, its name durable. The
// descriptor with the file open, or none (no file left).
VOLUME* create_volume(const NewVolume& nv) {
  debug_log('V', 3,
            "Vol_CreateSingle(path=\"%s\", type=%u, volume_id=%u, size=%u, ext_size=%u, "
            "max_size=%u)",
            nv.path, nv.type, nv.volume_id, nv.size, nv.ext_size, nv.max_size);
  if (!range_ok(nv.size, nv.ext_size, nv.max_size)) return nullptr;
  ZENT_ASSERT(strlen(nv.name) < static_cast<size_t>(Vol_MAXPATH) && "strlen(path) < Vol_MAXPATH");
  ZENT_ASSERT(nv.volume_id < static_cast<uint32_t>(Vol_MAXLINK) && "volume_id < Vol_MAXLINK");
  const uint32_t flist_pages = Vol_FlistPagesFor(nv.size);
  debug_log('V', 3, "Vol_CreateSingle() note: reserving %u pages for free-list", flist_pages);
  ZENT_ASSERT(nv.size > flist_pages + 2 && "size > flist pages + 2");

  platform::File* f = nullptr;
  if (int err = platform::file_open(
          nv.path, platform::FILE_WRITE | platform::FILE_CREATE | platform::FILE_EXCL, &f)) {
    debug_syserr('V', 0, err, "Unable to create volume file");
    debug_log('V', 0, "Unable to create volume file \"%s\"", nv.path);
    VOL_ERROR(VOL_E_CREATE);
    return nullptr;
  }
  platform::FileInfo info;
  if (int err = f->info(&info)) {
    debug_syserr('V', 0, err, "Unable to determine volume file type");
    discard(f, nv.path);
    VOL_ERROR(VOL_E_CREATE);
    return nullptr;
  }
  VOLUME* v = new VOLUME();
  Vol_InitNewDescriptor(v, nv.volume_id, nv.type, nv.size, nv.set_id, nv.ext_size, nv.max_size);
  v->num_volumes = 1;
  v->used_volumes = 1;
  v->generation = nv.generation;
  v->header.flags = nv.flags;
  snprintf(v->path, sizeof v->path, "%s", nv.name);
  Vol_BuildNewFreeList(v);
  v->fhandle = f;
  v->file_type = static_cast<uint32_t>(info.kind);

  std::vector<uint8_t> page(Vol_PAGESIZE);
  int err = 0;
  for (uint32_t copy_page : {Vol_DESC_PAGE, Vol_DESC_COPY_PAGE}) {
    v->header.page = Vol_PageAddr(nv.volume_id, copy_page);
    Vol_EncodeDescriptorPage(*v, page.data());
    if (err == 0) err = write_page(f, copy_page, page.data());
  }
  v->header.page = Vol_PageAddr(nv.volume_id, Vol_DESC_PAGE);
  for (Vol_FLMEM* fl = v->flmem_head; fl != nullptr && err == 0; fl = fl->next) {
    Vol_ClearFlag(Vol_DIRTY, fl->image);
    err = write_page(f, PAGE_NUMBER(fl->page), fl->image);
  }
  if (err == 0) {
    if (flist_pages == 1) {
      debug_log('V', 3, "Vol_CreateSingle() note: using Vol_FillPage() to preallocate file space");
      err = fill_pages(f, PAGE_NUMBER(v->flist_tail) + 1, nv.size);
    } else if (nv.size - 1 > Vol_DESC_COPY_PAGE) {
      // Not preallocated, but the file has its full length: every page of
      // the volume can be read.
      err = fill_pages(f, nv.size - 1, nv.size);
    }
  }
  if (err == 0) err = f->datasync();
  if (err == 0) err = platform::file_sync_parent(nv.path);
  if (err != 0) {
    debug_syserr('V', 0, err, "Unable to write volume file");
    v->fhandle = nullptr;
    Vol_DeleteFreeList(v);
    delete v;
    discard(f, nv.path);
    VOL_ERROR(VOL_E_FILL);
    return nullptr;
  }
  return v;
}

bool in_map(int id, const Vol_ALDESC& map) { return Vol_IsAllocAllowed(id, &map) != 0; }

// Whether the file at path is what an extension killed half-way left (a
// release that made the file in place): empty, or a descriptor of this set
// naming a volume that is not open in it. Anything else is not ours.
bool left_by_interrupted_run(const char* path, const VOLUME* root) {
  platform::File* f = nullptr;
  if (platform::file_open(path, platform::FILE_READ, &f) != 0) return false;
  std::vector<uint8_t> page(Vol_PAGESIZE);
  size_t done = 0;
  platform::FileInfo info;
  bool ours = false;
  if (f->info(&info) == 0 && info.kind == platform::FileKind::Regular) {
    if (info.size == 0) {
      ours = true;
    } else if (f->read_at(page.data(), page.size(), 0, &done) == 0 && done == page.size()) {
      VOLUME v{};
      Vol_DecodeDescriptor(page.data(), &v);
      ours = v.set_id == root->set_id && v.volume_id != 0 &&
             v.volume_id < static_cast<uint32_t>(Vol_MAXLINK) &&
             (static_cast<int>(v.volume_id) >= Vol_NumVolumes() ||
              root[v.volume_id].fhandle == nullptr);
    }
  }
  platform::file_close(f);
  return ours;
}

// The slot an extension takes, or -1 (status set).
int choose_slot(const VOLUME* root) {
  const int n = Vol_NumVolumes();
  for (int id = 0; id < n; ++id) {
    const VOLUME* v = &root[id];
    if (!in_map(id, root->used_map) || v->fhandle != nullptr) continue;
    ZENT_ASSERT(id != 0 && !in_map(id, root->standard_aldesc) &&
                "Vol_CreateExtent() failed: missing DATA volume");
    if (in_map(id, root->tlog_aldesc) && !Vol_IsConsistent()) {
      debug_log('V', 0,
                "failed to create volume extent: missing LOG volume %u - unable to recover "
                "since data volume is inconsistent",
                static_cast<unsigned>(id));
      VOL_ERROR(VOL_E_NO_TRANSACTIONS);
      return -1;
    }
    return id;
  }
  for (int id = 0; id < n; ++id)
    if (!in_map(id, root->used_map)) return id;
  return n;
}

}  // namespace

uint32_t Vol_NewSetId() {
  for (;;) {
    uint32_t r = 0;
    if (getrandom(&r, sizeof r, 0) != static_cast<ssize_t>(sizeof r)) continue;
    const uint32_t lo = r & 0xFFFFu;
    const uint32_t hi = r >> 16;
    if (lo != 0 && hi != 0 && lo != hi) return (hi << 16) | lo;
  }
}

VOLUME* Vol_CreateSingle(const char* path, uint32_t type, uint32_t volume_id, uint32_t size,
                         uint32_t ext_size, uint32_t max_size) {
  NewVolume nv{path, path, type, volume_id, size, ext_size, max_size};
  return create_volume(nv);
}

VOLUME* Vol_Create(const char* path, uint32_t size, uint32_t ext_size, uint32_t max_size) {
  ZENT_ASSERT(Vol_GetRootVol() == nullptr && "!root_vol");
  NewVolume nv{path, path, VolType_DATA, 0, size, ext_size, max_size};
  nv.set_id = Vol_NewSetId();
  VOLUME* v = create_volume(nv);
  if (v == nullptr) return nullptr;
  Vol_FreeSingle(v);
  debug_log('V', 1, "Vol_Create() note: volume set identifier is 0x%08x", nv.set_id);
  const char* paths[] = {path};
  return Vol_OpenSet(1, paths);
}

VOLUME* Vol_CreateExtent(const char* path, uint32_t type, uint32_t size, uint32_t ext_size,
                         uint32_t max_size) {
  VOLUME* root = Vol_GetRootVol();
  ZENT_ASSERT(root != nullptr && "root_vol");
  debug_log('V', 3, "Vol_CreateExtent(path=\"%s\", size=%u, ext_size=%u, max_size=%u)", path,
            size, ext_size, max_size);
  if (type != VolType_DATA && type != VolType_LOG && type != VolType_TEMP) {
    debug_log('V', 0, "failed to create volume extent: unknown volume type %d",
              static_cast<int>(type));
    VOL_ERROR(VOL_E_TYPE);
    return nullptr;
  }
  const int slot = choose_slot(root);
  if (slot < 0) return nullptr;
  if (slot >= Vol_MAXLINK) {
    debug_log('V', 0,
              "failed to create volume extent: exceeded maximum number of linked volumes");
    VOL_ERROR(VOL_E_LINKS);
    return nullptr;
  }
  // Made whole under a name of its own beside its place, then renamed
  // there. A run killed before the set named the volume left a file under
  // one of the two names (a whole one, once renamed): the next run replaces
  // it.
  if (left_by_interrupted_run(path, root) && platform::file_remove(path) == 0) {
    platform::file_sync_parent(path);
    debug_log('V', 0, "NOTE: removed \"%s\", left by an interrupted run", path);
  }
  const std::string fresh = std::string(path) + ".spacegrow";
  if (platform::file_remove(fresh.c_str()) == 0)
    debug_log('V', 0, "NOTE: removed \"%s\", left by an interrupted run", fresh.c_str());
  platform::File* existing = nullptr;
  if (platform::file_open(path, platform::FILE_READ, &existing) == 0) {
    platform::file_close(existing);
    debug_log('V', 0, "Unable to create volume file \"%s\": the file exists", path);
    VOL_ERROR(VOL_E_CREATE);
    return nullptr;
  }
  NewVolume nv{fresh.c_str(), path, type, static_cast<uint32_t>(slot), size, ext_size, max_size};
  nv.set_id = root->set_id;
  nv.generation = root->generation;
  VOLUME* v = create_volume(nv);
  if (v == nullptr) return nullptr;
  Vol_FreeSingle(v);
  if (int err = platform::file_rename(fresh.c_str(), path)) {
    debug_syserr('V', 0, err, "Unable to rename volume file");
    platform::file_remove(fresh.c_str());
    platform::file_sync_parent(path);
    VOL_ERROR(VOL_E_FILL);
    return nullptr;
  }
  if (int err = platform::file_sync_parent(path)) {
    debug_syserr('V', 0, err, "Unable to sync the volume file's directory");
    platform::file_remove(path);
    platform::file_sync_parent(path);
    VOL_ERROR(VOL_E_FILL);
    return nullptr;
  }
  if (Vol_AttachVolume(path) == nullptr) {
    // Nothing names the file yet, and this call made it.
    platform::file_remove(path);
    platform::file_sync_parent(path);
    return nullptr;
  }
  root = Vol_GetRootVol();
  if (!in_map(slot, root->used_map)) {
    Vol_SetAllocAllowed(slot, &root->used_map);
    root->used_volumes++;
  }
  if (root->num_volumes < static_cast<uint32_t>(slot) + 1) root->num_volumes = slot + 1;
  Vol_ClearAllocAllowed(slot, &root->standard_aldesc);
  Vol_ClearAllocAllowed(slot, &root->tlog_aldesc);
  Vol_ClearAllocAllowed(slot, &root->temp_aldesc);
  if (type == VolType_DATA)
    Vol_SetAllocAllowed(slot, &root->standard_aldesc);
  else if (type == VolType_LOG)
    Vol_SetAllocAllowed(slot, &root->tlog_aldesc);
  else
    Vol_SetAllocAllowed(slot, &root->temp_aldesc);
  Vol_SetFlag(Vol_DIRTY, &root->header);
  Vol_FlushDescriptor(root);
  Vol_INFO info;
  Vol_GetDataInfo(&info);
  return root;
}

int Vol_DeleteSingle(VOLUME* vol) {
  debug_log('V', 3, "Vol_DeleteSingle(path=\"%s\")", vol->path);
  if (vol->free_size < vol->curr_size - vol->num_flist - 2) {
    debug_log('V', 0, "Vol_DeleteSingle() failed: volume is not empty (L%d)", __LINE__);
    VOL_ERROR(VOL_E_NOT_EMPTY);
    return -1;
  }
  Vol_CloseSingle(vol);
  if (int err = platform::file_remove(vol->path)) {
    debug_syserr('V', 0, err, "Unable to remove volume file");
    ZENT_ASSERT(!"Vol_DeleteSingle() failed on remove()");
  }
  if (int err = platform::file_sync_parent(vol->path)) {
    debug_syserr('V', 0, err, "Unable to sync the volume file's directory");
    ZENT_ASSERT(!"Vol_DeleteSingle() failed on file_sync_parent()");
  }
  memset(vol->path, 0, sizeof vol->path);
  return 0;
}

int Vol_TlogReset() {
  VOLUME* root = Vol_GetRootVol();
  ZENT_ASSERT(root != nullptr && "root_vol");
  if (root->callback != nullptr) root->callback(Vol_EVENT_REBUILD);
  if (buf_NumBuffers() > 0) buf_Sync(nullptr, 1);
  for (int id = 0; id < Vol_NumVolumes(); ++id) {
    VOLUME* v = &Vol_GetRootVol()[id];
    if (!in_map(id, Vol_GetRootVol()->used_map) || v->fhandle == nullptr || v->type != VolType_LOG)
      continue;
    const std::string path = v->path;
    debug_log('V', 2, "resetting log volume (%u: %s)", static_cast<unsigned>(id), path.c_str());
    // Made complete under another name, then renamed over the old file:
    // whatever fails, the set has a log.
    const std::string fresh = path + ".reset";
    platform::file_remove(fresh.c_str());
    NewVolume nv{fresh.c_str(), path.c_str(), VolType_LOG, static_cast<uint32_t>(id),
                 v->curr_size, v->ext_size, v->max_size};
    nv.set_id = v->set_id;
    nv.generation = v->generation;
    nv.flags = static_cast<uint16_t>(v->header.flags & ((1u << Vol_DSYNC) | (1u << Vol_LSYNC)));
    VOLUME* made = create_volume(nv);
    if (made == nullptr) {
      debug_log('V', 0, "Vol_TlogReset() failed on Vol_CreateSingle(), path=\"%s\"", path.c_str());
      return -1;
    }
    Vol_FreeSingle(made);
    if (int err = platform::file_rename(fresh.c_str(), path.c_str())) {
      debug_syserr('V', 0, err, "Unable to rename volume file");
      debug_log('V', 0, "Vol_TlogReset() failed on rename(), path=\"%s\"", path.c_str());
      platform::file_remove(fresh.c_str());
      return -1;
    }
    if (int err = platform::file_sync_parent(path.c_str())) {
      debug_syserr('V', 0, err, "Unable to sync the volume file's directory");
      ZENT_ASSERT(!"Vol_TlogReset() failed on file_sync_parent()");
    }
    if (Vol_AttachVolume(path.c_str()) == nullptr)
      ZENT_ASSERT(!"Vol_TlogReset() failed on Vol_AttachVolume()");
  }
  return 0;
}

void Vol_SyncOpenVolumes(int tio_mode) {
  debug_log('V', 3, "Vol_SyncOpenVolumes(tio_mode=%s)", tio_mode_name(tio_mode));
  VOLUME* root = Vol_GetRootVol();
  if (root == nullptr) return;
  for (int id = 0; id < Vol_NumVolumes(); ++id)
    if (root[id].fhandle != nullptr)
      ZENT_ASSERT(in_map(id, root->used_map) && "Vol_IsAllocAllowed(i, &root_vol->used_map)");
  Vol_SyncData(tio_mode);
  Vol_TlogSync(tio_mode);
}

Node* Pool_SysCreate(uint32_t system_node_id) {
  ZENT_ASSERT(system_node_id > 0 && "system_node_id");
  return Pool_DoCreate(system_node_id, 0);
}

int SysPool_Initialize() {
  debug_log('O', 3, "SysPool_Initialize()");
  Node* pool = Pool_SysCreate(SysPool_NODEID);
  if (pool == nullptr) return -1;
  Node_SetFlag(Node_SYSPOOL, pool);
  Node_SetDirty(pool);
  return Node_Sync(pool);
}
