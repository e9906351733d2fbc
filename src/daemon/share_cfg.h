// share_cfg.h - the share table (`ShareCFG`): one section of the share file
// per share, and the two path mappings between the clients' share paths and
// local paths.
//
// A share path is the share id, a separator ("/" or "\") and the path below
// the share. The mappings are string work only (no file is looked at); file
// requests resolve the part below the share against the share's directory
// through src/platform/share_files. Every lookup first reads the file again
// by the modification-time rule of CfgFile.
#pragma once
#include <string>
#include <vector>

#include "daemon/cfg_file.h"

namespace zentsd {

struct Share {
  std::string id;       // the section name (upper case)
  std::string path;     // `Path`, one trailing separator removed
  std::string comment;  // `Comment`
  std::vector<std::string> users;  // `Users`
};

class ShareCFG : public CfgFile {
 public:
  // The shares in the file's order (after Refresh).
  const std::vector<Share>& Shares() const { return shares_; }
  // The share of that id (any case), or none.
  const Share* Find(const char* id);

  // Local path to share path: the first share whose path is a prefix of
  // local (any case, "/" and "\" alike) followed by a separator; the share
  // id and the rest of local, lower-cased. False when no share covers it.
  bool MapPath(const char* local, std::string* share_path);
  // Share path to local path: the share's path, "/" and the rest
  // lower-cased (the path alone without a separator). False for an unknown
  // share.
  bool ReverseMapPath(const char* share_path, std::string* local);
  // Splits a share path into its share and the rest below it (lower-cased,
  // separators as sent). False for an unknown share.
  bool Resolve(const char* share_path, const Share** share, std::string* rest);

 protected:
  const char* Name() const override { return "ShareCFG"; }
  void Begin() override { staging_.clear(); }
  void Section(const char* name) override;
  void Item(const char* item, const char* value) override;
  void Commit() override { shares_.swap(staging_); staging_.clear(); }

 private:
  std::vector<Share> shares_;
  std::vector<Share> staging_;
};

}  // namespace zentsd
