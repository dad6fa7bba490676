"""Stand-in of the host's web API: broadcast_ws records the messages it was handed."""
sent = []
fail = None          # exception raised by the call itself
fail_inside = None   # exception raised by the awaitable
as_future = False    # return an already finished future instead of a coroutine


async def _send(message):
    if fail_inside is not None:
        raise fail_inside
    sent.append(message)


def broadcast_ws(message):
    if fail is not None:
        raise fail
    if as_future:
        import asyncio
        future = asyncio.get_running_loop().create_future()
        sent.append(message)
        future.set_result(None)
        return future
    return _send(message)
