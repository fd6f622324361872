"""Console control handlers: signals become control events whose handlers run on
a thread of their own, last-registered first, and the process ends as Windows
ends it (natively: killed by the signal, as Linux ends an interrupted process).

Drives tools/ctrl_probe natively and under Wine."""
import signal
import threading
import unittest

import kavtest

CTRL_C_EVENT = 0
CTRL_BREAK_EVENT = 1
CTRL_CLOSE_EVENT = 2


class Probe:
    """A running ctrl_probe whose output lines are collected as they come."""

    def __init__(self, *args):
        self.proc = kavtest.start(list(args), exe=kavtest.tool("ctrl_probe"))
        self.lines = []
        self._lock = threading.Lock()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self._lock:
                self.lines.append(raw.decode("ascii", "replace").strip())

    def snapshot(self):
        with self._lock:
            return list(self.lines)

    def wait_ready(self):
        ok = kavtest.wait_for(lambda: "ready" in self.snapshot(), timeout=120)
        if not ok:
            self.proc.kill()
            self.finish()
            raise AssertionError("probe never got ready: %r" % self.snapshot())

    def signal(self, sig):
        self.proc.send_signal(sig)

    def finish(self):
        """Waits for the process; returns (returncode, lines)."""
        try:
            code = self.proc.wait(timeout=120)
        except BaseException:
            self.proc.kill()
            self.proc.wait()
            raise
        self._reader.join(timeout=30)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code, self.snapshot()

    def handlers(self):
        """(name, event, on_main, tid) of every handler call so far."""
        calls = []
        for line in self.snapshot():
            parts = line.split()
            if parts and parts[0] == "handler":
                calls.append((parts[1], int(parts[3]), parts[5] == "1", parts[7]))
        return calls


class ConsoleCtrlTest(unittest.TestCase):

    def assert_interrupted(self, code):
        """How a process ends when no handler takes Ctrl+C."""
        if kavtest.IS_WINE:
            # Wine 8's default handler exits with 0; Windows ends the process
            # with STATUS_CONTROL_C_EXIT (0xC000013A).
            self.assertEqual(0, code)
        else:
            self.assertEqual(-signal.SIGINT, code)

    def assert_one_foreign_thread(self, calls):
        self.assertTrue(calls)
        self.assertFalse(any(on_main for _, _, on_main, _ in calls), calls)
        self.assertEqual(1, len({tid for _, _, _, tid in calls}), calls)

    def test_handlers_run_newest_first_then_the_default_ends_the_process(self):
        p = Probe("add:a:F", "add:b:F", "add:b:F", "add:c:F")
        p.wait_ready()
        p.signal(signal.SIGINT)
        code, lines = p.finish()
        calls = p.handlers()
        # Newest first; b was registered twice and runs twice.
        self.assertEqual(["c", "b", "b", "a"], [name for name, _, _, _ in calls], lines)
        self.assertTrue(all(event == CTRL_C_EVENT for _, event, _, _ in calls), calls)
        self.assert_one_foreign_thread(calls)
        self.assertNotIn("main continues", lines)
        self.assert_interrupted(code)

    def test_a_handler_that_takes_the_event_stops_the_chain(self):
        p = Probe("add:a:F", "add:b:T", "add:c:F")
        p.wait_ready()
        p.signal(signal.SIGINT)
        code, lines = p.finish()
        calls = p.handlers()
        self.assertEqual(["c", "b"], [name for name, _, _, _ in calls], lines)
        self.assert_one_foreign_thread(calls)
        # The main thread was never stopped and ends on its own.
        self.assertIn("main continues", lines)
        self.assertEqual(0, code)

    def test_removal_drops_one_registration(self):
        p = Probe("add:b:T", "add:a:F", "add:a:F", "del:a", "del:c")
        p.wait_ready()
        self.assertIn("del a ok", p.snapshot())
        self.assertIn("del c fail 87", p.snapshot())
        p.signal(signal.SIGINT)
        code, lines = p.finish()
        self.assertEqual(["a", "b"], [name for name, _, _, _ in p.handlers()], lines)
        self.assertEqual(0, code)

    def test_without_handlers_ctrl_c_ends_the_process(self):
        for args in ([], ["add:a:T", "del:a"]):
            with self.subTest(args=args):
                p = Probe(*args)
                p.wait_ready()
                p.signal(signal.SIGINT)
                code, lines = p.finish()
                self.assertEqual([], p.handlers(), lines)
                self.assert_interrupted(code)

    def test_quit_signal_is_ctrl_break(self):
        p = Probe("add:a:F", "add:b:T", "add:c:F")
        p.wait_ready()
        p.signal(signal.SIGQUIT)
        code, lines = p.finish()
        calls = p.handlers()
        self.assertEqual(0, code, lines)
        if kavtest.IS_WINE:
            # Wine 8 keeps SIGQUIT for itself: no Ctrl+Break reaches the
            # handlers and the process just ends with 0.
            self.assertEqual([], calls, lines)
        else:
            self.assertEqual(["c", "b"], [name for name, _, _, _ in calls], lines)
            self.assertTrue(all(event == CTRL_BREAK_EVENT for _, event, _, _ in calls), calls)
            self.assert_one_foreign_thread(calls)
            self.assertIn("main continues", lines)

    def test_registering_waits_while_handlers_run(self):
        # Windows and Wine run the handlers under the console lock: a thread that
        # (un)registers a handler meanwhile gets past that call only when the event
        # is handled, so it cannot start new work on a process that is ending.
        p = Probe("hold")
        p.wait_ready()
        p.signal(signal.SIGINT)
        code, lines = p.finish()
        self.assertEqual(0, code, lines)
        self.assertIn("add waited for the handler", lines)
        self.assertNotIn("add ran beside the handler", lines)

    def test_ignoring_ctrl_c(self):
        p = Probe("ignore", "add:a:T")
        p.wait_ready()
        p.signal(signal.SIGINT)
        # Signals are taken in order, so a Ctrl+C handler would have run before
        # the handlers of the termination that follows.
        p.signal(signal.SIGTERM)
        code, lines = p.finish()
        events = [event for _, event, _, _ in p.handlers()]
        self.assertNotIn(CTRL_C_EVENT, events, lines)
        self.assertEqual(-signal.SIGTERM, code)
        if kavtest.IS_WINE:
            # Wine 8 delivers no close event for SIGTERM: the signal just kills.
            self.assertEqual([], events, lines)
        else:
            self.assertEqual([CTRL_CLOSE_EVENT], events, lines)

    def test_termination_signals_are_close_events(self):
        for sig in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                # A close event ends the process even when a handler takes it.
                p = Probe("add:a:F", "add:b:T", "add:c:F")
                p.wait_ready()
                p.signal(sig)
                code, lines = p.finish()
                calls = p.handlers()
                self.assertEqual(-sig, code, lines)
                self.assertNotIn("main continues", lines)
                if kavtest.IS_WINE:
                    # Wine 8 turns neither SIGTERM nor SIGHUP into a close
                    # event; the signal kills the process without any handler.
                    self.assertEqual([], calls, lines)
                else:
                    self.assertEqual(["c", "b"], [name for name, _, _, _ in calls], lines)
                    self.assertTrue(all(event == CTRL_CLOSE_EVENT for _, event, _, _ in calls), calls)
                    self.assert_one_foreign_thread(calls)


if __name__ == "__main__":
    unittest.main()
