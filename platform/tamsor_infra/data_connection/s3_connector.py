"""Presigned download addresses of stored objects (signature version 4), computed locally."""
import datetime
import hashlib
import hmac
import os
import urllib.parse

MAX_EXPIRATION = 7 * 24 * 3600  # the longest lifetime a signature-v4 address may have


class S3Connector:
    """`environment` and `purpose` name the deployment; credentials and region come from the environment
    (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, optional AWS_SESSION_TOKEN, AWS_REGION or
    AWS_DEFAULT_REGION, and optional AWS_ENDPOINT_URL_S3 for another store than the public one)."""

    def __init__(self, environment, purpose):
        self.environment = environment
        self.purpose = purpose
        self._access_key = os.environ.get("AWS_ACCESS_KEY_ID")
        self._secret_key = os.environ.get("AWS_SECRET_ACCESS_KEY")
        if not self._access_key or not self._secret_key:
            raise RuntimeError("AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must be set to sign storage addresses")
        self._session_token = os.environ.get("AWS_SESSION_TOKEN")
        self._region = os.environ.get("AWS_REGION") or os.environ.get("AWS_DEFAULT_REGION") or "us-east-1"
        self._endpoint = os.environ.get("AWS_ENDPOINT_URL_S3")

    def create_presigned_download_url(self, bucket_name, object_key, expiration=3600):
        return presign_get(bucket_name, object_key, expiration, access_key=self._access_key,
                           secret_key=self._secret_key, region=self._region, session_token=self._session_token,
                           endpoint=self._endpoint)


def _quote(text, safe=""):
    return urllib.parse.quote(text, safe="-_.~" + safe)


def _hmac(key, text):
    return hmac.new(key, text.encode("utf-8"), hashlib.sha256).digest()


def presign_get(bucket, key, expiration, *, access_key, secret_key, region, session_token=None, endpoint=None,
                now=None):
    """The presigned GET address of `key` in `bucket`, valid for `expiration` seconds from `now`."""
    if isinstance(expiration, bool) or not isinstance(expiration, int) or not 1 <= expiration <= MAX_EXPIRATION:
        raise ValueError(f"expiration must be a whole number of seconds from 1 to {MAX_EXPIRATION}, got {expiration!r}")
    if not bucket or not key:
        raise ValueError("a bucket name and an object key are needed")
    now = now or datetime.datetime.now(datetime.timezone.utc)
    amz_date = now.strftime("%Y%m%dT%H%M%SZ")
    day = now.strftime("%Y%m%d")
    if endpoint:  # path-style on a store of one's own
        parts = urllib.parse.urlsplit(endpoint)
        scheme, host = parts.scheme, parts.netloc
        path = parts.path.rstrip("/") + "/" + _quote(bucket) + "/" + _quote(key, "/")
    else:
        scheme = "https"
        host = f"{bucket}.s3.amazonaws.com" if region == "us-east-1" else f"{bucket}.s3.{region}.amazonaws.com"
        path = "/" + _quote(key, "/")
    scope = f"{day}/{region}/s3/aws4_request"
    query = {
        "X-Amz-Algorithm": "AWS4-HMAC-SHA256",
        "X-Amz-Credential": f"{access_key}/{scope}",
        "X-Amz-Date": amz_date,
        "X-Amz-Expires": str(expiration),
        "X-Amz-SignedHeaders": "host",
    }
    if session_token:
        query["X-Amz-Security-Token"] = session_token
    canonical_query = "&".join(f"{_quote(k)}={_quote(v)}" for k, v in sorted(query.items()))
    canonical_request = "\n".join(["GET", path, canonical_query, f"host:{host}", "", "host", "UNSIGNED-PAYLOAD"])
    string_to_sign = "\n".join(
        ["AWS4-HMAC-SHA256", amz_date, scope, hashlib.sha256(canonical_request.encode("utf-8")).hexdigest()])
    signing_key = _hmac(_hmac(_hmac(_hmac(("AWS4" + secret_key).encode("utf-8"), day), region), "s3"),
                        "aws4_request")
    signature = hmac.new(signing_key, string_to_sign.encode("utf-8"), hashlib.sha256).hexdigest()
    return f"{scheme}://{host}{path}?{canonical_query}&X-Amz-Signature={signature}"
