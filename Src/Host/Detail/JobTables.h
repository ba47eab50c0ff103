#pragma once

#include <any>
#include <cstddef>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include <boost/multi_index/composite_key.hpp>
#include <boost/multi_index/hashed_index.hpp>
#include <boost/multi_index/mem_fun.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index/ranked_index.hpp>
#include <boost/multi_index_container.hpp>

#include "Analyzers/IAnalyzer.h"
#include "BE/Clip.h"
#include "BE/Media.h"
#include "Foundation/Future.h"
#include "Host/AnalysisOptions.h"
#include "zelcore/ClassRef.h"
#include "zelcore/Guid.h"
#include "zelcore/ImmutableString.h"

// The host's job tables. Not thread-safe: the host touches them only from its serial executor.
namespace Quillan::detail {

using zelcore::utility::Guid;
using zelcore::utility::ImmutableString;

// The identity of a clip or media: the address of the interface's sub-object, which is one per object, so it
// tells objects apart as well as the whole object's address does and needs no dynamic_cast.
template <class T>
void const* IdentityOf(zelcore::InterfaceRef<T> const& ref) {
  return ref.get();
}

// One started job.
struct RunningJob {
  zelcore::async::Future<std::any> future;
  zelcore::InterfaceRef<BE::IClip> clip;
  zelcore::InterfaceRef<BE::IMedia> media;
  Guid analyzerId;
  zelcore::InterfaceWeakRef<IAnalyzer> analyzer;
  // Compared by the identity of its interned text.
  ImmutableString key;
  Guid jobId;

  void const* ClipIdentity() const { return IdentityOf(clip); }
  void const* MediaIdentity() const { return IdentityOf(media); }
  char const* KeyIdentity() const { return key.data(); }
};

// Tags of the running-job table's orderings.
struct ByClip {};
struct ByClipAnalyzerKey {};
struct ByMediaAnalyzerKey {};
struct ByAnalyzer {};
struct ByJobId {};

namespace mi = boost::multi_index;

// The running jobs under five orderings at once. Records of equal keys keep the order in which they were inserted.
class RunningJobTable
    : public mi::multi_index_container<
          RunningJob,
          mi::indexed_by<
              mi::ordered_non_unique<mi::tag<ByClip>,
                                     mi::const_mem_fun<RunningJob, void const*, &RunningJob::ClipIdentity>>,
              mi::ordered_non_unique<
                  mi::tag<ByClipAnalyzerKey>,
                  mi::composite_key<RunningJob, mi::const_mem_fun<RunningJob, void const*, &RunningJob::ClipIdentity>,
                                    mi::member<RunningJob, Guid, &RunningJob::analyzerId>,
                                    mi::const_mem_fun<RunningJob, char const*, &RunningJob::KeyIdentity>>>,
              mi::ordered_non_unique<
                  mi::tag<ByMediaAnalyzerKey>,
                  mi::composite_key<RunningJob, mi::const_mem_fun<RunningJob, void const*, &RunningJob::MediaIdentity>,
                                    mi::member<RunningJob, Guid, &RunningJob::analyzerId>,
                                    mi::const_mem_fun<RunningJob, char const*, &RunningJob::KeyIdentity>>>,
              // Ranked: counting the jobs of an analyzer takes logarithmic time however many run.
              mi::ranked_non_unique<mi::tag<ByAnalyzer>, mi::member<RunningJob, Guid, &RunningJob::analyzerId>>,
              mi::hashed_unique<mi::tag<ByJobId>, mi::member<RunningJob, Guid, &RunningJob::jobId>, std::hash<Guid>>>> {
 public:
  // The number of running jobs of an analyzer, in logarithmic time.
  std::size_t CountForAnalyzer(Guid const& analyzerId) const {
    auto const [first, last] = get<ByAnalyzer>().equal_range_rank(analyzerId);
    return last - first;
  }
};

// One job that waits: for a free slot of its analyzer (queued), or for an identical running job to end (merged).
struct QueuedJob {
  zelcore::InterfaceRef<BE::IClip> clip;
  zelcore::InterfaceRef<BE::IMedia> media;
  ImmutableString key;
  zelcore::InterfaceRef<IAnalyzer> analyzer;
  AnalysisOptions options;
  std::shared_ptr<zelcore::async::AsyncExecutor> executor;
  // Its future was handed out when the job was queued; destroying the job unfulfilled breaks it. The job starts
  // with this promise, so the future handed out is the running job's own.
  zelcore::async::Promise<std::any> promise;
};

// The waiting jobs of each analyzer id, first in, first out.
class QueuedJobMap : public std::unordered_map<Guid, std::deque<QueuedJob>> {
 public:
  QueuedJobMap() : unordered_map(kInitialBuckets) { max_load_factor(1.0f); }

 private:
  static constexpr std::size_t kInitialBuckets = 8;
};

// The requests merged onto one started job, in the order they came. They start once the job has ended, also when
// its record has been terminated while it still runs.
struct MergedJobs {
  // The job they wait for; weak, so that a terminated job nobody else wants still goes before it starts.
  zelcore::async::WeakFuture<std::any> job;
  std::vector<QueuedJob> requests;
};

// The requests merged onto each started job, by the job's id.
class MergedJobMap : public std::unordered_map<Guid, MergedJobs> {};

}  // namespace Quillan::detail
