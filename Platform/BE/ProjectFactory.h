#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BE/Clip.h"
#include "BE/Export.h"
#include "BE/MasterClip.h"
#include "BE/Media.h"
#include "zelcore/ClassRef.h"

// Builds project-model objects in any state: the application's importers use it, and so do tests.
// Every function may be called from any thread.
namespace BE::ProjectFactory {

struct MediaOptions {
  // Give the media a media-info object answering IMediaMetaData; false leaves it without media info.
  bool withMediaInfo = true;
  // A media-info object of the caller's making, used instead of the built-in one when set.
  InterfaceRef<UnknownBase> mediaInfo{};
  // The media's proxy, if any.
  InterfaceRef<IMedia> proxy{};
};

// A media for the file at `path` (UTF-16). The file need not exist: such a media is offline. Throws
// kResultInvalidArgument for an empty path.
BE_EXPORT InterfaceRef<IMedia> CreateMedia(std::u16string const& path, MediaOptions const& options = {});

// A media-info object for the file at `path` that answers IMediaMetaData, as CreateMedia makes it.
BE_EXPORT InterfaceRef<UnknownBase> CreateMediaInfo(std::u16string const& path);

struct MasterClipOptions {
  // Required.
  InterfaceRef<IMedia> media{};
  std::uint32_t videoClipCount = 1;
  // One audio clip per entry, with that many channels (at least 1).
  std::vector<std::uint32_t> audioChannelCounts = {2};
  // The media belongs to another project (MasterClipUtils::IsXRefClip).
  bool xref = false;
};

// Throws the null-pointer exception for an empty media and kResultInvalidArgument for an audio clip without
// channels.
BE_EXPORT InterfaceRef<IMasterClip> CreateMasterClip(MasterClipOptions const& options);

// A child clip of `masterClip`, with clips of the same media types and channel counts and no edits. Throws the
// null-pointer exception for an empty master clip.
BE_EXPORT InterfaceRef<IChildClip> CreateChildClip(InterfaceRef<IMasterClip> const& masterClip);

// A clip of `media` outside any master clip. `channelCount` is for audio clips (at least 1) and ignored for
// video. Throws the null-pointer exception for an empty media and kResultInvalidArgument for another media type
// or an audio clip without channels.
BE_EXPORT InterfaceRef<IClip> CreateClip(InterfaceRef<IMedia> const& media, Guid const& mediaType,
                                         std::uint32_t channelCount = 2);

}  // namespace BE::ProjectFactory
