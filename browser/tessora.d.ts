// Types of tessora.js (classic script: the globals Tessora and TessoraError; ES module:
// tessora.mjs).

export type TessoraErrorCode =
  | 'EXTENSION_MISSING' // no extension answered within connect()'s timeout
  | 'HOST_MISSING'      // the extension is there, the signing host could not be started
  | 'NOT_ALLOWED'       // the person denied this site, or revoked it
  | 'INSECURE_ORIGIN'   // not an https page (nor http://localhost or http://127.0.0.1)
  | 'HOST_ERROR'        // the host answered with a non-zero errorcode
  | 'TOO_LARGE'         // refused before sending: the request or its answer exceeds a limit
  | 'INVALID_ARGUMENT'  // a parameter of the wrong type, refused before sending
  | 'DISCONNECTED'      // the session was closed, the host ended, or the page lost the extension
  | 'PROTOCOL_ERROR';   // an answer that does not belong to the request

export declare class TessoraError extends Error {
  readonly name: 'TessoraError';
  readonly code: TessoraErrorCode;
  /** HOST_ERROR only: the host's result code, a signed 32-bit number (-1610149887). */
  readonly errorcode?: number;
  /** HOST_ERROR only: the result code as eight hexadecimal digits ("0xa0071001"). */
  readonly hex?: string;
  /** HOST_ERROR only: the host function that failed ("SignMsgPKCS7"). */
  readonly functionName?: string;
  static readonly codes: { readonly [K in TessoraErrorCode]: K };
}

/** The host's answer as it arrives, for TessoraSession.call(). */
export interface TessoraResponse {
  function: string;
  errorcode: number;
  result?: boolean | number | string;
  randomId?: string;
}

export type CertInfoType =
  | 'SubjectDN' | 'SubjectCN' | 'SerialNumber' | 'CSPName' | 'CertType'
  | 'IssuerDN' | 'ValidFrom' | 'ValidTo' | 'CertContent';

export interface CertificateFilter {
  /** Text the subject's distinguished name contains. */
  subject?: string;
  /** Text the issuer's distinguished name contains. */
  issuer?: string;
  /** The serial number in hexadecimal. */
  serial?: string;
}

export interface TessoraSession {
  /** The host's version, as GetVersion reported it when the session opened. */
  readonly version: string;
  /** False after close(), or once the page's host ended. */
  readonly open: boolean;

  getVersion(): Promise<string>;
  /** Names the SM2 providers to search: an array, or the names joined with "||". */
  setSM2CSPList(list: string[] | string): Promise<boolean>;
  /** Lets the person pick a certificate (no window when exactly one matches). */
  selectCertificate(filter?: CertificateFilter): Promise<boolean>;
  getSignCertInfo(type: CertInfoType | string): Promise<string>;
  /**
   * Signs the UTF-8 bytes of `text`; resolves with a Base64 PKCS#7 SignedData (RFC 2315, or
   * GM/T 0010 for SM2). An attached signature of more than Tessora.limits.maxAttachedTextBytes
   * bytes is refused with TOO_LARGE before anything is sent.
   */
  signMsgPKCS7(text: string, hash?: 'SHA-1' | 'SHA-256' | string, attached?: boolean): Promise<string>;
  /** The serial number of the one USB key plugged in. */
  getKeyID(type?: string): Promise<string>;
  /** The description of the host's last result, in the user's language. */
  getLastErrorDesc(): Promise<string>;
  /** Sends one request as it is; resolves with the raw answer, also when errorcode is not 0. */
  call(functionName: string, params?: unknown): Promise<TessoraResponse>;
  /** Ends the page's host process (and with it every session of the page). */
  close(): Promise<void>;
}

export interface TessoraLimits {
  /** The largest answer a host may send (Chrome native messaging: 1 MiB). */
  readonly maxAnswerBytes: number;
  /** The largest request (JSON, UTF-8) the library sends. */
  readonly maxRequestBytes: number;
  /** The longest text (UTF-8 bytes) signMsgPKCS7 signs attached. */
  readonly maxAttachedTextBytes: number;
}

export interface TessoraStatic {
  /** Rejects with EXTENSION_MISSING after `timeout` ms (default 3000) without an extension. */
  connect(options?: { timeout?: number }): Promise<TessoraSession>;
  readonly limits: TessoraLimits;
  readonly TessoraError: typeof TessoraError;
}

export declare const Tessora: TessoraStatic;
export default Tessora;

declare global {
  interface Window {
    Tessora: TessoraStatic;
    TessoraError: typeof TessoraError;
  }
}
