"""Stand-in of the host's per-speaker controller. Every call is written to a shared journal so
that tests can read the order of calls across speakers."""
import asyncio

journal = []
# The answers that speakers in `hang` never give. Kept here, as a host keeps the connection to a
# speaker that went silent, so that a call waiting for one is not collected as garbage.
unanswered = set()


# Every operation of a speaker that never answers.
SILENT = frozenset({"play_url", "stop", "pause", "resume", "set_volume", "get_status",
                    "search_audio_id"})


class TargetController:
    def __init__(self, did, *, play_result=True, status=None, audio_id=None):
        self.did = did
        self.play_result = play_result
        self.status = {"status": 1} if status is None else status
        self.audio_id = audio_id
        self.fail = {}      # operation name -> exception raised by its coroutine
        self.hang = set()   # operations that never answer
        self.delay = {}     # operation name -> seconds of asyncio.sleep before answering

    async def _answer(self, op, result):
        journal.append((self.did, op))
        if op in self.hang:
            never = asyncio.get_running_loop().create_future()
            unanswered.add(never)
            try:
                await never
            finally:
                unanswered.discard(never)
        if op in self.delay:
            await asyncio.sleep(self.delay[op])
        if op in self.fail:
            raise self.fail[op]
        return result

    def play_url(self, url, audio_id):
        self.last_play = (url, audio_id)
        return self._answer("play_url", self.play_result)

    def stop(self):
        return self._answer("stop", True)

    def pause(self):
        return self._answer("pause", True)

    def resume(self):
        return self._answer("resume", True)

    def set_volume(self, volume):
        self.last_volume = volume
        return self._answer("set_volume", True)

    def get_status(self):
        return self._answer("get_status", self.status)

    def search_audio_id(self, title, artist, *, fuzzy_fallback):
        self.last_search = (title, artist, fuzzy_fallback)
        return self._answer("search_audio_id", self.audio_id)
