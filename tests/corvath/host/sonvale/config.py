"""Stand-in of the host's configuration."""
from dataclasses import dataclass, field


@dataclass
class GroupConfig:
    member_dids: list = field(default_factory=list)
    airplay_name: object = "Whole House"


@dataclass
class TargetConfig:
    did: str = ""


@dataclass
class Config:
    group: GroupConfig = field(default_factory=GroupConfig)
    web_port: object = 8080
    virtual_delay: object = 500
    default_xiaomi_volume: int = 30
    default_audio_id: object = ""


def airplay_db_to_xiaomi_volume(db, default):
    """AirPlay's -30..0 dB range to 0..100; -144 dB (mute) to 0; anything else the default."""
    calls.append((db, default))
    if db <= -144:
        return 0
    if -30 <= db <= 0:
        return round((db + 30) / 30 * 100)
    return default


calls = []
