"""Service errors in the shape that botocore's rest-json parser turns into ClientError codes."""

from __future__ import annotations

from starlette.responses import JSONResponse

# Status codes as the service model declares them for each error shape.
STATUS = {
    "ValidationException": 400,
    "ServiceQuotaExceededException": 402,
    "AccessDeniedException": 403,
    "ResourceNotFoundException": 404,
    "ConflictException": 409,
    "ThrottlingException": 429,
    "InternalServerException": 500,
}

# Member names of the same errors inside an invocation's event stream.
STREAM_MEMBER = {code: code[0].lower() + code[1:] for code in STATUS}


class ServiceError(Exception):
    def __init__(self, code: str, message: str, **fields):
        if code not in STATUS:
            raise ValueError(f"unknown service error {code!r}; one of {sorted(STATUS)}")
        super().__init__(message)
        self.code = code
        self.message = message
        self.fields = fields

    def response(self) -> JSONResponse:
        # botocore reads the code from x-amzn-errortype first, the message from the body.
        return JSONResponse(
            {"message": self.message, **self.fields},
            status_code=STATUS[self.code],
            headers={"x-amzn-errortype": f"{self.code}:http://internal.amazon.com/coral/com.amazonaws.bedrockagentcore/"},
        )


def validation(message: str, field: str | None = None, reason: str = "FieldValidationFailed") -> ServiceError:
    fields = {"reason": reason}
    if field is not None:
        fields["fieldList"] = [{"name": field, "message": message}]
    return ServiceError("ValidationException", message, **fields)


def not_found(message: str) -> ServiceError:
    return ServiceError("ResourceNotFoundException", message)
