"""Posting messages to a chat channel through the chat service's web API."""
import json
import os
import urllib.error
import urllib.request

TOKEN_ENV = "SLACK_BOT_TOKEN"
BASE_URL_ENV = "SLACK_API_BASE_URL"
DEFAULT_BASE_URL = "https://slack.com/api"
TIMEOUT_ENV = "SLACK_API_TIMEOUT"


class SlackError(RuntimeError):
    """The chat service refused a request, or could not be reached."""


class SlackManager:
    def __init__(self):
        token = os.environ.get(TOKEN_ENV)
        if not token:
            raise SlackError(f"{TOKEN_ENV} is not set: the chat service needs a bot token")
        self._token = token
        self._base_url = os.environ.get(BASE_URL_ENV, DEFAULT_BASE_URL).rstrip("/")
        self._timeout = float(os.environ.get(TIMEOUT_ENV, "30"))

    def send_message_to_channel(self, blocks, channel):
        """Posts `blocks` to `channel`; returns the service's answer. Raises SlackError when refused."""
        body = json.dumps({"channel": channel, "blocks": blocks, "text": _fallback_text(blocks)}).encode("utf-8")
        request = urllib.request.Request(
            self._base_url + "/chat.postMessage",
            data=body,
            method="POST",
            headers={"Authorization": "Bearer " + self._token, "Content-Type": "application/json; charset=utf-8"},
        )
        try:
            with urllib.request.urlopen(request, timeout=self._timeout) as response:
                answer = json.loads(response.read().decode("utf-8"))
        except urllib.error.HTTPError as e:
            raise SlackError(f"chat.postMessage failed with HTTP status {e.code}") from e
        except (urllib.error.URLError, OSError, ValueError) as e:
            raise SlackError(f"chat.postMessage failed: {e}") from e
        if not isinstance(answer, dict) or not answer.get("ok"):
            error = answer.get("error", "unknown error") if isinstance(answer, dict) else "malformed answer"
            raise SlackError(f"chat.postMessage was refused: {error}")
        return answer


def _fallback_text(blocks):
    """Plain text shown in notifications: the first header's text."""
    for block in blocks:
        if block.get("type") == "header":
            return block.get("text", {}).get("text", "")
    return ""
