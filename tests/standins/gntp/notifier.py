"""Stand-in for gntp.notifier: records what a GNTP client would send."""

from record import fail, record


class GrowlNotifier:
    def __init__(self, *args, **kwargs):
        record("GrowlNotifier", args, kwargs)
        fail("growlnotifier")

    def register(self, *args, **kwargs):
        record("register", args, kwargs)
        fail("register")

    def notify(self, *args, **kwargs):
        record("notify", args, kwargs)
        fail("notify")
