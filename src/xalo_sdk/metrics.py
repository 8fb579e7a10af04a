"""The kit's counts in the form monitoring systems read: a Prometheus collector.

Needs the ``prometheus_client`` package (the ``metrics`` extra). One line in a
module registers it with the default registry::

    xalo_sdk.metrics.register(client)

and the module's exporter (``prometheus_client.start_http_server`` or the
site's own) then serves the figures below at every scrape. Each is a counter
since the process started (a forked child starts from zero):

======================================  =========================================
``xalo_writes_queued_total``            payload writes asked for
``xalo_writes_stored_total``            stored (and notified)
``xalo_writes_displaced_total``         displaced from a full queue by a newer one
``xalo_writes_failed_total``            failed (logged)
``xalo_writes_dropped_total``           pending when the writer was stopped
``xalo_reads_total``                    ``read_data`` calls (``read_frame_packet``'s too)
``xalo_reads_none_total``               reads that gave ``None`` (missing, refused)
``xalo_read_errors_total``              reads that raised
``xalo_read_bytes_total``               bytes the reads returned
``xalo_shm_frames_written_total``       frames put on the shared-memory road
``xalo_shm_frames_not_written_total``   frames that could not be put there
``xalo_shm_frames_read_total``          frames read from it
``xalo_shm_frames_not_read_total``      frames not read, by ``reason``
``xalo_notifications_total``            notifications a subscription delivered
``xalo_notification_gaps_total``        times a subscription may have missed some
``xalo_subscription_reconnects_total``  times a subscription connected again
======================================  =========================================

The client and subscription figures carry a ``client`` label (the ``name``
given to ``register``, "default" unless given), so that a process with
several clients can register each; the shared-memory figures are the
process's own.
"""

# typing through its module, so that stubtest sees no stray exports.
import typing as t

from prometheus_client.core import REGISTRY, CollectorRegistry, CounterMetricFamily, Metric

from xalo_sdk.redis import utils

__all__ = ["Collector", "register"]

# (metric, help, key of StoreClient.figures())
_CLIENT = (
    ("xalo_writes_queued", "Payload writes asked for", "queued"),
    ("xalo_writes_stored", "Payload writes stored and notified", "stored"),
    ("xalo_writes_displaced", "Pending writes displaced from a full queue by a newer one", "displaced"),
    ("xalo_writes_failed", "Payload writes that failed", "failed"),
    ("xalo_writes_dropped", "Writes pending when the writer was stopped", "dropped"),
    ("xalo_reads", "read_data calls, read_frame_packet's included", "reads"),
    ("xalo_reads_none", "Reads that gave None", "reads_none"),
    ("xalo_read_errors", "Reads that raised", "read_errors"),
    ("xalo_read_bytes", "Bytes the reads returned", "read_bytes"),
)
# (metric, help, key of a subscription's stats())
_SUBSCRIPTION = (
    ("xalo_notifications", "Notifications a subscription delivered", "notifications"),
    ("xalo_notification_gaps", "Times a subscription may have missed notifications", "gaps"),
    ("xalo_subscription_reconnects", "Times a subscription connected again", "reconnects"),
)
_SHM = (
    ("xalo_shm_frames_written", "Frames put on the shared-memory road", "written"),
    ("xalo_shm_frames_not_written", "Frames that could not be put on the shared-memory road", "not_written"),
    ("xalo_shm_frames_read", "Frames read from the shared-memory road", "read"),
)


class Collector:
    """Reports the figures of ``clients`` (``{name: StoreClient}``), of
    ``subscriptions`` (``{name: subscription}``, anything with a ``stats()``
    giving ``notifications``, ``gaps`` and ``reconnects``) and, with ``shm``
    true, of this process's shared-memory road."""

    def __init__(self, clients: t.Optional[t.Mapping[str, t.Any]] = None,
                 subscriptions: t.Optional[t.Mapping[str, t.Any]] = None,
                 shm: bool = True) -> None:
        self.clients = dict(clients or {})
        self.subscriptions = dict(subscriptions or {})
        self.shm = shm

    def collect(self) -> t.Iterator[Metric]:
        counts = {name: client.figures() for name, client in self.clients.items()}  # one reading per scrape
        for metric, help_text, key in _CLIENT:
            family = CounterMetricFamily(metric, help_text, labels=["client"])
            for name, figures in counts.items():
                family.add_metric([name], figures[key])
            yield family
        figures = {name: sub.stats() for name, sub in self.subscriptions.items()}
        for metric, help_text, key in _SUBSCRIPTION:
            family = CounterMetricFamily(metric, help_text, labels=["client"])
            for name, stats in figures.items():
                family.add_metric([name], stats.get(key, 0))
            yield family
        if self.shm:
            road: t.Dict[str, t.Any] = dict(utils.shm_figures())
            for metric, help_text, key in _SHM:
                yield CounterMetricFamily(metric, help_text, value=road[key])
            family = CounterMetricFamily("xalo_shm_frames_not_read", "Frames not read from the shared-memory road",
                                         labels=["reason"])
            for reason, n in road["not_read"].items():
                family.add_metric([reason], n)
            yield family

    def describe(self) -> t.List[Metric]:
        # The same families, empty: lets a registry check names when it is registered.
        families: t.List[Metric] = [CounterMetricFamily(m, h) for m, h, _ in _CLIENT + _SUBSCRIPTION + _SHM]
        return families + [CounterMetricFamily("xalo_shm_frames_not_read", "Frames not read from the shared-memory road")]


# One collector per registry: several clients of one process are its labels.
_collectors: t.Dict[int, t.Tuple[t.Any, Collector]] = {}


def register(client: t.Any = None, subscription: t.Any = None, name: str = "default",
             registry: CollectorRegistry = REGISTRY) -> Collector:
    """Report ``client`` (a ``StoreClient``) and ``subscription`` under the
    label ``client=name``, and this process's shared-memory road, through
    ``registry`` (the default one of ``prometheus_client``). A process with
    several clients registers each under its own name. Returns the registry's
    ``Collector``."""
    kept = _collectors.get(id(registry))
    if kept is None or kept[0] is not registry:
        kept = _collectors[id(registry)] = (registry, Collector())
        registry.register(kept[1])
    collector = kept[1]
    if client is not None:
        collector.clients[name] = client
    if subscription is not None:
        collector.subscriptions[name] = subscription
    return collector
