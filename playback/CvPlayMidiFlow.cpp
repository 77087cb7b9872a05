#include "playback/CvPlayMidiFlow.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "link/CvSocketUtility.h"
#include "platform/platform.h"
#include "playback/CvCountOffInfo.h"
#include "playback/CvMetronomeTask.h"
#include "playback/CvMidiTaskPlayer.h"
#include "playback/CvPlaybackState.h"
#include "playback/CvSongTiming.h"
#include "service/CvLog.h"

namespace {

// The furthest ahead a start time may be. A web page shows a short "get ready" before
// the count-off; a start hours ahead is a clock written in the wrong zone, and would
// hold the command lock (songs, notation, the next performance) until then.
const std::chrono::seconds kFurthestStart(60);
const char* const kTooFarAheadMessage = "START TIME IS MORE THAN 60 SECONDS AHEAD";
const char* const kCalledOffMessage = "CALLED OFF BEFORE ITS START TIME";

// "2015-08-19T16:53:51.250" as a UTC instant; without a "T", midnight of the date.
// Raises the date library's error ("Month number is out of range 1..12") when the
// text is not a date and time.
boost::posix_time::ptime StartInstant(const std::string& text) {
  size_t separator = text.find('T');
  boost::gregorian::date day =
      boost::date_time::parse_date<boost::gregorian::date>(text.substr(0, separator));
  // The library's own reader fails on an empty time of day; it means midnight.
  std::string timeOfDay = separator == std::string::npos ? "" : text.substr(separator + 1);
  if (timeOfDay.empty()) return boost::posix_time::ptime(day);
  return boost::posix_time::ptime(
      day, boost::date_time::parse_delimited_time_duration<boost::posix_time::time_duration>(
               timeOfDay));
}

// A stop, the end of the session or the web application leaving came while the
// performance waited for its start: nothing was played or recorded.
void answerCalledOff(CvResponse& response) {
  cvlog::info("[CvPlayMidiFlow] performance called off while waiting for its start");
  response.responseCode = 12;
  response.errorMessage = kCalledOffMessage;
}

}  // namespace

const CvFlowDescription& CvPlayMidiFlow::description() const {
  static const CvFlowDescription flow{
      12,
      "[CvPlayMidiFlow] error message: %s",
      true,  // holds g_flow_mutex
      "[CVPLAYMIDIFLOW] - START....",
      nullptr,
      nullptr,
      true,  // answers its own responseCode and errorMessage
  };
  return flow;
}

void CvPlayMidiFlow::ownStep(CvResponse& response) {
  if (!g_player->AcceptsNewPerformance()) {
    response.responseCode = 7;
    response.errorMessage = "THE DEVICE IS PLAYING MIDI FILE";
    return;
  }
  if (!g_count_off->countOffSound || !g_player->IsPrepared()) {
    // No count-off command has prepared a song: there is nothing to play.
    response.responseCode = 2;
    response.errorMessage = "NOT FOUND MIDI FILE";
    return;
  }
  // Read before the state changes, so a request that cannot be performed leaves the
  // service free for the next one.
  boost::posix_time::ptime start;
  int32_t accompanimentVolume = 0;
  int32_t metronomeVolume = 0;
  try {
    start = StartInstant(requestData()["startTime"].asString());
    accompanimentVolume = dataLeadingInteger("accompanimentVolume");
    metronomeVolume = dataLeadingInteger("metronomeVolume");
  } catch (const std::exception& e) {
    cvlog::error(description().errorLine, e.what());
    response.responseCode = 2;
    response.errorMessage = e.what();
    return;
  }

  // The start as a steady-clock instant, read together with the wall clock.
  const auto now = std::chrono::steady_clock::now();
  const std::chrono::microseconds untilStart(
      (start - CvSocketUtility::utcNow()).total_microseconds());
  if (untilStart > kFurthestStart) {
    cvlog::error(description().errorLine, kTooFarAheadMessage);
    response.responseCode = 2;
    response.errorMessage = kTooFarAheadMessage;
    return;
  }

  playing_midi_state.exchange(WAITING_STATE);
  int32_t expected = ExpectedCountOffLength();
  cvlog::out("count_off_duration_expect %d\n", expected);
  // Made while waiting: setting up the click's audio takes time the beat has not got.
  if (metronomeVolume > 0) g_metronome->PrepareMetronome();
  CvCountOffSound& countOff = *g_count_off->countOffSound;
  countOff.HoldOutput();
  // Woken ahead of the start, so that the first word is queued to sound on it. A stop,
  // the end of the session or the web application leaving wakes this at once.
  const auto scheduledStart = now + untilStart;
  bool started = WaitForStartTime(scheduledStart - kSoundQueueAhead);
  countOff.ReleaseOutput();
  if (!started) {
    answerCalledOff(response);
    return;
  }

  // Every sound of the performance falls on this schedule: a start time that has
  // passed begins it now.
  const auto t1 = std::max(scheduledStart, std::chrono::steady_clock::now());
  const auto firstBeat = t1 + std::chrono::milliseconds(expected);
  // IS_PLAY_MUSIC goes up before the state says PLAYING: a stop command that finds
  // PLAYING clears it after this, so whatever it clears stays cleared.
  uint64_t performance = StartPlayingMusic();
  int waiting = WAITING_STATE;
  if (!playing_midi_state.compare_exchange_strong(waiting, PLAYING_STATE)) {
    // Called off right as its start came. Whoever called it off set the state before
    // this, so clearing IS_PLAY_MUSIC here undoes nothing of theirs.
    StopPlayingMusic();
    answerCalledOff(response);
    return;
  }
  // The metronome and the accompaniment start with the count-off and sleep through it,
  // so that their first sounds are queued ahead of the first beat.
  if (metronomeVolume > 0) {
    CvMetronomeTask metronome = *g_metronome;
    platform::startTimingThread([metronome, performance, firstBeat]() mutable {
      metronome.RunMetronome(performance, firstBeat);
    });
  }
  if (accompanimentVolume > 0) {
    g_playback_origin.exchange(firstBeat);
    g_accompaniment_volume.exchange(accompanimentVolume);
    platform::startTimingThread([performance] { g_player->PlayBack(performance); });
  }
  if (!countOff.PlayCountOff(performance, t1)) {
    // Stopped before its first word was heard.
    answerCalledOff(response);
    return;
  }
  response.responseCode = 0;
  response.errorMessage = "SUCCESS";
}
