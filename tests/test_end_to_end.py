"""One frame's road between two pipeline modules through a real redis-server."""

import numpy as np
import pytest

from xalo_sdk.redis.frame_packet import FramePacket
from xalo_sdk.redis.store_client import StoreClient
from xalo_sdk.redis.utils import Encoder, gen_redis_key_local

CAMERA = {"id": "cam-1", "type": "camera", "name": "gate"}
DETECTOR = {"id": "det-1", "type": "detector", "name": "people"}
TRACKER = {"id": "trk-1", "type": "tracker", "name": "tracks"}
DETECTIONS = [{"bbox": [4, 6, 20, 30], "score": 0.75, "label": "person"}]


def frame():
    y, x = np.mgrid[0:48, 0:64]
    img = np.stack([x * 4, y * 5, (x + y) * 2], axis=-1)
    return img.astype(np.uint8)


@pytest.fixture
def clients(redis_server):
    made = []

    def make(thread):
        c = StoreClient(thread=thread, host="127.0.0.1", port=redis_server.port)
        made.append(c)
        return c

    yield make
    for c in made:
        c._shutdown_executor()


@pytest.mark.parametrize("encoder", [Encoder.BMP, Encoder.JPG])
def test_one_frame_from_producer_to_consumer(clients, subscriber, redis_conn, encoder):
    img = frame()
    # Producer: the detector, fed by the camera.
    key = gen_redis_key_local(DETECTOR["id"], 0)
    subscriber.subscribe(key + "_notify")
    producer = FramePacket(feed_idx=0, cur_node=DETECTOR, src_node=CAMERA, src_port=0)
    payload = producer.create_frame_packet(result=DETECTIONS, frame=img, encoder=encoder, with_base64=True)
    assert clients(thread=True).write_frame_packet(payload, key) is True

    # Consumer: the tracker learns of the store and reads it.
    assert subscriber.messages(wait=2.0) == [(key + "_notify", "1")]
    data = clients(thread=False).read_frame_packet(key)
    consumer = FramePacket(feed_idx=1, cur_node=TRACKER, src_node=DETECTOR, src_port=0)
    parsed = consumer.parse_frame_packet(data)

    assert parsed is data and parsed["result"] == DETECTIONS
    source = consumer.meta.source.to_dict()
    sent = producer.meta.source.to_dict()
    assert {k: source[k] for k in sent} == sent
    assert consumer.meta.frame_format.to_dict() == {"encoder": encoder, "with_base64": True}
    assert consumer.meta.module.to_dict() == {"id": "trk-1", "type": "tracker", "feed_port_idx": 1}
    got = parsed["frame"]
    assert got.shape == img.shape and got.dtype == np.uint8
    if encoder == Encoder.BMP:
        assert np.array_equal(got, img)
    else:
        assert np.abs(got.astype(int) - img).mean() <= 3

    # What the consumer publishes next carries the camera as its source.
    onward = consumer.create_frame_packet(result=[])["meta"]
    assert onward["source"]["id"] == "cam-1" and onward["frame_format"]["encoder"] == encoder


def test_payload_without_base64_cannot_travel(clients, redis_conn):
    key = gen_redis_key_local("det-2", 0)
    payload = FramePacket(0, DETECTOR, CAMERA, 0).create_frame_packet(frame=frame())
    assert type(payload["frame"]) is bytes
    with pytest.raises(TypeError):
        clients(thread=False).write_frame_packet(payload, key)
    assert redis_conn.get(key) is None
