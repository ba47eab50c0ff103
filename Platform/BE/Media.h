#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "BE/Export.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"

namespace BE {

using zelcore::InterfaceRef;
using zelcore::classref::UnknownBase;
using zelcore::utility::Guid;

// Kinds of media in the project model; two media types are equal when their bytes are.
inline constexpr Guid kMediaType_Video{
    Guid::Bytes{0x3c, 0x52, 0x9e, 0x0b, 0x71, 0x4d, 0x4f, 0x1a, 0x9b, 0x27, 0x15, 0xd8, 0x6a, 0x40, 0xc2, 0x11}};
inline constexpr Guid kMediaType_Audio{
    Guid::Bytes{0x8f, 0x06, 0x2d, 0xe4, 0x5a, 0x93, 0x47, 0x6c, 0xa1, 0x3e, 0x72, 0xbb, 0x09, 0xd5, 0x64, 0x12}};

// Status values of IMediaMetaData.
inline constexpr int kMetadataStatusOk = 0;
// The media's file is missing, is not a regular file, or could not be read.
inline constexpr int kMetadataStatusMediaUnavailable = 1;
// The metadata path names nothing this media has.
inline constexpr int kMetadataStatusUnknownPath = 2;

// A media's metadata, answered by its media-info object.
struct BE_EXPORT IMediaMetaData : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IMediaMetaData")

  // Fills `stateGuid` with the content-and-metadata state of `metadataPath` ("/" is the whole media) and returns
  // kMetadataStatusOk; on failure returns another status and leaves `stateGuid` alone. The state of a media is a
  // name-based GUID of a digest of its file's content: it changes when the content changes and stays when the file
  // is copied or moved. Files of up to 1 GiB are hashed whole; larger ones by size, modification time and 256
  // evenly spaced windows of 64 KiB. Each file version is hashed once per machine (remembered by device, inode,
  // size, modification and change time). May be called from any thread.
  virtual int GetContentAndMetadataStateGuid(std::string_view metadataPath, Guid& stateGuid) const = 0;
};

// Fills `stateGuid` with the content state of the regular file open for reading as `fd`, in the version that the
// descriptor shows now, and returns kMetadataStatusOk: the state that GetContentAndMetadataStateGuid gives for a path
// holding the same content. So a reader learns the state of the bytes it read even when the file's path has since
// been given to another file. Returns kMetadataStatusMediaUnavailable, leaving `stateGuid` alone, when `fd` is not a
// regular file open for reading, or is written to each time it is hashed. A version hashed before costs one fstat.
// Reads with pread: the descriptor's offset stays. May be called from any thread.
BE_EXPORT int GetContentStateOfOpenFile(int fd, Guid& stateGuid);

// Forgets the content digests this process remembered (the persisted ones stay), as a new process would start.
BE_EXPORT void ForgetContentIdentitiesForTesting();
// How many times this process has hashed a media file for its content state.
BE_EXPORT std::uint64_t GetContentHashCountForTesting();

// A media file of the project. Thread-safe.
struct BE_EXPORT IMedia : zelcore::classref::Unknown {
  ZEL_INTERFACE_NAME("BE::IMedia")

  // The file's path, UTF-16.
  virtual std::u16string GetFilePath() const = 0;
  // The media-info object, which may answer IMediaMetaData; empty when the media has none.
  virtual InterfaceRef<UnknownBase> GetMediaInfo() const = 0;
  // The smaller stand-in media used for editing when proxies are enabled; empty when there is none.
  virtual InterfaceRef<IMedia> GetProxyMedia() const = 0;
  // Attaches (or with an empty reference removes) the proxy. Only one level counts: a proxy's own proxy is never
  // used. Takes the project's write lock. Throws kResultInvalidArgument when `proxy` is this media.
  virtual void SetProxyMedia(InterfaceRef<IMedia> const& proxy) = 0;
};

}  // namespace BE
