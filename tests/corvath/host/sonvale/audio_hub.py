"""Stand-in of the host's audio hub (the relay receives it as an argument, never imports it)."""


class Lease:
    def __init__(self, session_id):
        self.session_id = session_id


class AudioHub:
    def __init__(self, session_id=7, begin_id=42, busy=False):
        self.calls = []
        self.busy = busy
        self.session_id = session_id
        self.begin_id = begin_id
        self.fail = {}  # method name -> exception

    def _call(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))
        if name in self.fail:
            raise self.fail[name]

    def acquire_source(self, source, target):
        self._call("acquire_source", source, target)
        return None if self.busy else Lease(self.session_id)

    def release_source(self, lease, reason):
        self._call("release_source", lease, reason)

    def pause_source(self, lease):
        self._call("pause_source", lease)

    def resume_source(self, lease):
        self._call("resume_source", lease)

    def begin_session(self, source, target, metadata, url, *, capabilities, lease):
        self._call("begin_session", source, target, metadata, url,
                   capabilities=capabilities, lease=lease)
        return self.begin_id

    def get_session(self):
        self._call("get_session")
        return {"session_id": self.begin_id}

    def update_session_metadata(self, payload):
        self._call("update_session_metadata", payload)

    def update_session_progress(self, position, duration):
        self._call("update_session_progress", position, duration)

    def names(self):
        return [c[0] for c in self.calls]
