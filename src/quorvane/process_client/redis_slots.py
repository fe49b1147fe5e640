"""The slots of a rate limit in a Redis database, for the processes of
many machines (see ``slots.py`` for the protocol): two sorted sets, scored
by release time, changed only by Lua scripts that the server runs alone.
Every time is the Redis server's (``TIME``), read inside the script, so
that machines whose clocks disagree still hold one limit.
"""

import time
import uuid

from .slots import Availability, every_slot_held
from .stores import redis_client, redis_errors, redis_failure

__all__ = ["RedisSlots", "REDIS_KEYS"]

# KEYS: the slots under way and the ended ones, sorted sets scored by release
# time. ARGV: calls, lease, per (seconds), the new slot's id. Returns {1} for
# a slot taken, else {0, under way, first ended release, first lease end}
# (as text: Lua numbers come back as integers), the times from now.
_TAKE = """
if redis.replicate_commands then redis.replicate_commands() end
local time = redis.call('TIME')
local now = tonumber(time[1]) + tonumber(time[2]) / 1000000
local calls, lease, per = tonumber(ARGV[1]), tonumber(ARGV[2]), tonumber(ARGV[3])
local count = 0
for _, key in ipairs(KEYS) do
  redis.call('ZREMRANGEBYSCORE', key, '-inf', now)
  -- A clock set back: nothing is held longer than a lease from now.
  for _, slot in ipairs(redis.call('ZRANGEBYSCORE', key, '(' .. (now + lease), '+inf')) do
    redis.call('ZADD', key, now + lease, slot)
  end
  count = count + redis.call('ZCARD', key)
end
if count < calls then
  redis.call('ZADD', KEYS[1], now + lease, ARGV[4])
  local ms = math.ceil(lease * 1000) + 1000
  if redis.call('PTTL', KEYS[1]) < ms then redis.call('PEXPIRE', KEYS[1], ms) end
  return {1}
end
local function first(key)
  local found = redis.call('ZRANGE', key, 0, 0, 'WITHSCORES')
  if found[2] then return tostring(tonumber(found[2]) - now) end
  return ''
end
return {0, redis.call('ZCARD', KEYS[1]), first(KEYS[2]), first(KEYS[1])}
"""

# The try of slot ARGV[2] has ended: it is kept ARGV[1] seconds more. A slot
# whose lease ran out meanwhile is gone and stays gone.
_END = """
if redis.replicate_commands then redis.replicate_commands() end
if redis.call('ZREM', KEYS[1], ARGV[2]) == 1 then
  local time = redis.call('TIME')
  local per = tonumber(ARGV[1])
  redis.call('ZADD', KEYS[2], tonumber(time[1]) + tonumber(time[2]) / 1000000 + per, ARGV[2])
  local ms = math.ceil(per * 1000) + 1000
  if redis.call('PTTL', KEYS[2]) < ms then redis.call('PEXPIRE', KEYS[2], ms) end
end
return 0
"""

#: The keys of the rate limit in its Redis database (one hash slot, for a
#: cluster).
REDIS_KEYS = ("{quorvane:rate-limit}:under-way", "{quorvane:rate-limit}:ended")


class RedisSlots:
    """The slots of a rate limit in a Redis database: two sorted sets,
    changed only by scripts that the server runs alone."""

    def __init__(self, url: str) -> None:
        self.location = self.url = url
        self._client = redis_client(url, "rate_limit_store")
        self._take = self._client.register_script(_TAKE)
        self._end = self._client.register_script(_END)

    def take(self, calls: int, per: float, lease: float, deadline: float) -> Availability:
        slot = uuid.uuid4().hex
        try:
            found = self._take(keys=REDIS_KEYS, args=[calls, repr(lease), repr(per), slot])
        except redis_errors() as error:
            raise redis_failure(self.url, "the rate limit's store", error) from error
        if found[0] == 1:
            return Availability(slot, 0, None, 0.0)
        under_way, first_ended, first_lease = int(found[1]), found[2], found[3]
        return every_slot_held(under_way, float(first_ended) if first_ended else None,
                               float(first_lease) if first_lease else None, per)

    def end(self, slot: str, per: float) -> None:
        try:
            self._end(keys=REDIS_KEYS, args=[repr(per), slot])
        except redis_errors() as error:
            raise redis_failure(self.url, "the rate limit's store", error) from error

    def wait(self, seconds: float) -> None:
        time.sleep(seconds)

    def close(self) -> None:
        self._client.close()  # connections are opened again on next use

    def after_fork(self) -> "RedisSlots":
        return self  # redis-py's pool opens new connections in a child
