"""Stand-in of the host's AirPlay server: records how it was made and driven, and lets a test
play the AirPlay side (is_playing, metadata, the callbacks) by hand."""
import asyncio

instances = []


class AirPlayServer:
    # Set by a test to make the next start() raise.
    fail_start = None

    def __init__(self, host, name, zeroconf, *, speaker_hardware=None):
        self.args = (host, name, zeroconf)
        self.speaker_hardware = speaker_hardware
        self.rtsp_port = 0
        self.is_playing = False
        self.client_name = "iPhone"
        self.metadata = {}
        self.artwork = None
        self.progress = (None, None)
        self.started = False
        self.stopped = False
        for name in ("on_play_start", "on_play_stop", "on_play_pause", "on_play_resume",
                     "on_volume_change", "on_metadata_change", "on_progress_change"):
            setattr(self, name, None)
        instances.append(self)

    async def start(self):
        await asyncio.sleep(0)
        if AirPlayServer.fail_start is not None:
            raise AirPlayServer.fail_start
        self.rtsp_port = 7001
        self.started = True

    async def stop(self):
        await asyncio.sleep(0)
        self.stopped = True
