"""Event loops that wait on a ReplyTap and then close: nothing of them stays
registered with the tap, and closing the tap leaves no descriptor open."""

import asyncio
import gc
import os

import pytest

from helpers import new_client
from sonvex_fake_server import FakeMediaServer
from sonvex_replies import ReplyTap


def open_descriptors():
    # Objects of earlier tests are collected first: their descriptors closing
    # during the test would read as a change.
    gc.collect()
    return set(os.listdir("/proc/self/fd"))


async def one_wait(tap, client):
    return await tap.reply(client.send_raw_command("GetVersion"))


def asyncio_run(tap, client):
    # A loop per wait, ended the usual way.
    return asyncio.run(one_wait(tap, client))


LEFT_WAITING = []


def closed_mid_wait(tap, client):
    # A loop closed while a task of it still waits: nothing ends that wait
    # (until the test closes it).
    loop = asyncio.new_event_loop()
    try:
        waiting = loop.create_task(tap.reply(10**9, timeout=None))
        waiting._log_destroy_pending = False   # left pending on purpose
        LEFT_WAITING.append(waiting)
        reply = loop.run_until_complete(one_wait(tap, client))
    finally:
        loop.close()
    return reply


@pytest.mark.parametrize("way", [asyncio_run, closed_mid_wait])
def test_closed_loops_leave_nothing_registered(way):
    with FakeMediaServer() as server:
        client = new_client(server.port)
        client.connect()
        server.wait_for_connections(1)   # its descriptors opened
        before = open_descriptors()
        with ReplyTap() as tap:
            tags = [way(tap, client).tag for _ in range(20)]
            if way is asyncio_run:
                assert tap._watching == {}
            else:   # at most the last one, until the next loop or the close
                assert len(tap._watching) <= 1
            # A thread's wait after them all still works.
            assert tap.wait_for(client.send_raw_command("GetVersion")).tag == 20
        assert tags == list(range(20))
        assert tap._watching == {}
        # None left open (one an earlier test left may close meanwhile).
        assert open_descriptors() <= before
        for task in LEFT_WAITING:   # a closed loop's wait, ended late
            task.get_coro().close()
        LEFT_WAITING.clear()
        client.disconnect()
