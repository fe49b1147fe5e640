"""The cache in a Redis database, for every process on every machine that
names it: requests-cache's Redis backend, with the rules of the file."""

from contextlib import contextmanager
from typing import Iterator, Optional

from requests_cache import BaseCache

from .cache import CacheInfo, CacheView
from .stores import describe, redis_client, redis_errors, redis_failure

__all__ = ["RedisStore", "REDIS_NAMESPACE"]


#: The prefix of the cache's keys in Redis: one per answer, and the
#: redirects in ``quorvane:cache-redirects``.
REDIS_NAMESPACE = "quorvane:cache"


class RedisStore:
    """The cache in a Redis database, for every process on every machine
    that names it: requests-cache's Redis backend, with the rules of the
    file (the same keys, expiry, answers kept and credentials left out).

    An answer that expires is also given a time to live in Redis, a minute
    past its expiry, so that Redis drops what no one asks for again; one
    for a finished range is kept until the cache is cleared.
    """

    def __init__(self, url: str) -> None:
        self.url = url
        self.read_only = False
        self._client = redis_client(url, "cache")
        from requests_cache import RedisCache
        self._backend = RedisCache(REDIS_NAMESPACE, connection=self._client, ttl_offset=60)

    def backend(self) -> BaseCache:
        return self._backend

    def find(self, key: str) -> Optional[bytes]:
        """The stored answer of ``key`` as it was written, with one ``GET``;
        None where there is none."""
        with self.operation():
            found: Optional[bytes] = self._client.get(f"{REDIS_NAMESPACE}:{key}")
        return found

    def view(self) -> CacheView:
        return CacheView(self._backend, self)

    @contextmanager
    def operation(self) -> Iterator[None]:
        """Work on the database; a server that cannot be used raises
        ``StoreUnavailable``, which names it. (redis-py's pool is safe for
        threads: they need not take turns.)"""
        try:
            yield
        except redis_errors() as error:
            raise redis_failure(self.url, "the cache", error) from error

    def clear(self) -> None:
        with self.operation():
            self._backend.clear()

    def info(self) -> CacheInfo:
        with self.operation():
            keys = list(self._client.scan_iter(match=REDIS_NAMESPACE + ":*", count=1000))
            pipeline = self._client.pipeline(transaction=False)
            for key in keys:
                pipeline.strlen(key)
            sizes = pipeline.execute() if keys else []
        return CacheInfo(describe(self.url), len(keys), sum(sizes))

    def close(self) -> None:
        self._client.close()  # connections are opened again on next use
